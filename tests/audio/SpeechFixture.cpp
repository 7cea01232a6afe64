#include "SpeechFixture.h"

#include <QProcess>

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
    const QString wav = folder + "/phrase.wav", raw = folder + "/phrase.raw";
    const QStringList pcm{"-t", "raw", "-r", "16000", "-c", "1", "-e", "signed", "-b", "16"};
    return speak(wav) && convert(wav, raw, pcm) ? TestSupport::readFile(raw) : QByteArray();
}

} // namespace SpeechFixture
