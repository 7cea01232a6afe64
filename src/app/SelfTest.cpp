#include "app/SelfTest.h"

#include "audio/AudioRecorder.h"
#include "platform/Errors.h"
#include "platform/Settings.h"
#include "platform/TopLevelTask.h"
#include "recognition/TranscriptionEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <whisper.h>

#include <cstdio>
#include <random>

namespace SelfTest {
namespace {

void say(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

bool silenceGuardHolds()
{
    std::mt19937 random{std::random_device{}()};
    std::uniform_real_distribution<float> noise(-0.001f, std::nextafter(0.001f, 1.0f));
    std::vector<float> samples(48000);
    for (float &s : samples)
        s = noise(random);
    return AudioRecorder::process(std::move(samples), 48000, 1.0).kind == Take::Kind::silence;
}

} // namespace

int run(const QStringList &arguments, const Check &check)
{
    if (arguments.size() < 2) {
        say(QStringLiteral("usage: Talvane --self-test <model.bin> <audio file> [language]"));
        return 2;
    }
    const QString model = QFileInfo(arguments[0]).absoluteFilePath();
    const QString audio = QFileInfo(arguments[1]).absoluteFilePath();
    const QString language = arguments.size() > 2 ? arguments[2] : QStringLiteral("auto");
    // Started from the event loop, so that a check that ends at once still ends the loop.
    TopLevelTask::start(
        QCoreApplication::instance(),
        [=]() -> QCoro::Task<> {
            const bool passed = co_await check(model, audio, language);
            QCoreApplication::exit(passed ? 0 : 1);
        },
        [](const QString &why) {
            say(QStringLiteral("SELF-TEST FAILED: ") + why);
            QCoreApplication::exit(1);
        });
    return QCoreApplication::exec();
}

QCoro::Task<bool> check(QString model, QString audio, QString language)
{
    TranscriptionEngine::loadModules();
    say(QStringLiteral("whisper: ") + QString::fromUtf8(whisper_print_system_info()));
    if (!silenceGuardHolds()) {
        say(QStringLiteral("silence guard: FAILED"));
        co_return false;
    }
    say(QStringLiteral("silence guard: ok"));

    LoadedAudio loaded;
    try {
        loaded = AudioRecorder::loadFile(audio);
    } catch (const DescribedError &error) {
        say(QStringLiteral("SELF-TEST FAILED: ") + error.description());
        co_return false;
    }
    const double seconds = static_cast<double>(loaded.samples.size()) / loaded.rate;
    Take take = AudioRecorder::process(std::move(loaded.samples), loaded.rate, seconds);
    if (take.kind != Take::Kind::audio) {
        say(QStringLiteral("audio file was rejected as silent or too short"));
        co_return false;
    }

    const QString modelName = QFileInfo(model).fileName();
    const QString prompt = Settings{}.prompt; // the default hints, not the user's
    TranscriptionEngine engine;
    QElapsedTimer clock;
    clock.start();
    try {
        co_await engine.load(model, modelName, true);
    } catch (const DescribedError &error) {
        say(QStringLiteral("SELF-TEST FAILED: ") + error.description());
        co_return false;
    }
    const double loadSeconds = clock.nsecsElapsed() / 1e9;
    say(QStringLiteral("device: ") + engine.device());

    clock.restart();
    QString text;
    try {
        text = co_await engine.transcribe(std::move(take.samples), language, prompt);
    } catch (const DescribedError &error) {
        say(QStringLiteral("SELF-TEST FAILED: ") + error.description());
        co_return false;
    }
    const double transcribeSeconds = clock.nsecsElapsed() / 1e9;

    say(QString::asprintf("audio %.2fs, model load %.2fs, transcription %.2fs", seconds, loadSeconds,
                          transcribeSeconds));
    say(QStringLiteral("TRANSCRIPT: ") + text);
    co_return !text.isEmpty();
}

} // namespace SelfTest
