#include "SpeechFixture.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cmath>

namespace SpeechFixture {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s %s failed: %s %s", qPrintable(program), qPrintable(arguments.join(' ')),
                 qPrintable(process.errorString()), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool speak(const QString &path)
{
    return run(QStringLiteral("espeak-ng"), {"-v", "ru", "-w", path, phrase});
}

bool convert(const QString &source, const QString &target, const QStringList &options, const QStringList &effects)
{
    return run(QStringLiteral("sox"), QStringList{source} + options + QStringList{target} + effects);
}

QByteArray microphonePcm(const QString &folder)
{
    const QString wav = folder + QStringLiteral("/phrase.wav");
    const QString raw = folder + QStringLiteral("/phrase.raw");
    if (!speak(wav) || !convert(wav, raw, {"-t", "raw", "-r", "16000", "-c", "1", "-e", "signed", "-b", "16"}))
        return {};
    QFile file(raw);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace SpeechFixture
