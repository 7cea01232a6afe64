#include "Await.h"
#include "SpeechFixture.h"
#include "TestSupport.h"

#include "audio/AudioRecorder.h"
#include "platform/Errors.h"
#include "recognition/EngineError.h"
#include "recognition/TranscriptionEngine.h"

#include "SyntheticModel.h"

#include <QTemporaryDir>

#include <optional>

namespace {

using Segment = TranscriptionEngine::Segment;
using Segments = std::vector<Segment>;

// Log lines written since `before` lines were there, without their timestamps.
QStringList newLines(qsizetype before)
{
    QStringList lines;
    for (const QString &line : TestSupport::logLines().mid(before))
        lines << line.section(QStringLiteral("] "), 1);
    return lines;
}

// The kind of EngineError `task` ends with, or nothing when it ends otherwise.
template <typename T> std::optional<EngineError::Kind> engineError(QCoro::Task<T> task)
{
    try {
        Await::result(std::move(task));
    } catch (const EngineError &error) {
        return error.kind();
    }
    return std::nullopt;
}

} // namespace

Q_DECLARE_METATYPE(Segments)

class TranscriptionEngineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString model;
    QString badModel;
    std::vector<float> speech; // conditioned 16 kHz samples of a Russian phrase

    std::unique_ptr<TranscriptionEngine> loadedEngine()
    {
        auto engine = std::make_unique<TranscriptionEngine>();
        engine->setThreadCount(1);
        Await::result(engine->load(model, QStringLiteral("synthetic")));
        return engine;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        model = dir.filePath(QStringLiteral("ggml-synthetic.bin"));
        QVERIFY(SyntheticModel::write(model.toStdString(), {}));
        badModel = dir.filePath(QStringLiteral("ggml-broken.bin"));
        TestSupport::writeFile(badModel, "not a model");
        const QString wav = dir.filePath(QStringLiteral("speech.wav"));
        QVERIFY(SpeechFixture::speak(wav));
        const LoadedAudio audio = AudioRecorder::loadFile(wav);
        Take take = AudioRecorder::process(audio.samples, audio.rate, audio.samples.size() / audio.rate);
        QCOMPARE(take.kind, Take::Kind::audio);
        speech = std::move(take.samples);
    }

    void textOf_data()
    {
        QTest::addColumn<Segments>("segments");
        QTest::addColumn<QString>("text");

        QTest::newRow("joined without separator")
            << Segments{{" Привет,", 0.1f}, {" мир.", 0.2f}} << QStringLiteral("Привет, мир.");
        QTest::newRow("line feed becomes a space") << Segments{{" раз\nдва", 0.1f}} << QStringLiteral("раз два");
        QTest::newRow("character split between segments")
            << Segments{{" \xd0", 0.1f}, {"\x9f\xd1\x80\xd0\xb8", 0.1f}} << QStringLiteral("При");
        QTest::newRow("invalid UTF-8 replaced") << Segments{{"a\xff"
                                                             "b",
                                                             0.1f}}
                                                << QStringLiteral("a\uFFFDb");
        QTest::newRow("null text skipped") << Segments{{nullptr, 0.9f}, {" да", 0.1f}} << QStringLiteral("да");
        QTest::newRow("0.60 stays") << Segments{{" тихо", 0.6f}} << QStringLiteral("тихо");
        QTest::newRow("0.61 dropped") << Segments{{" шум", 0.61f}, {" слово", 0.1f}} << QStringLiteral("слово");
        QTest::newRow("all dropped") << Segments{{" а", 0.7f}, {" б", 0.9f}} << QString();
        QTest::newRow("no segments") << Segments{} << QString();
        for (const char *tag : {"[BLANK_AUDIO]", "(Музыка)", "[Аплодисменты]", "(Applause)", "[MUSIC PLAYING]",
                                "[Music)", "(blank_audio)"})
            QTest::newRow(tag) << Segments{{" до", 0.1f}, {tag, 0.1f}, {" после", 0.1f}} << QStringLiteral("до после");
        for (const char *kept : {"(music)", "[Смех]", "[Music"})
            QTest::newRow(kept) << Segments{{kept, 0.1f}} << QString::fromUtf8(kept);
    }

    void textOf()
    {
        QFETCH(Segments, segments);
        QFETCH(QString, text);
        QCOMPARE(TranscriptionEngine::textOf(segments), text);
    }

    void textOfLogsDecisions()
    {
        const auto before = TestSupport::logLines().size();
        TranscriptionEngine::textOf(Segments{{" шум", 0.61f}, {nullptr, 0.95f}, {" слово", 0.3f}, {"x", 0.9f}});
        QCOMPARE(newLines(before), (QStringList{
                                       "Dropped segment (no-speech 0.61, 7 bytes)",
                                       "Dropped segment (no-speech 0.90, 1 bytes)",
                                       "Transcribed, highest no-speech probability 0.90 (limit 0.60)",
                                   }));
        TranscriptionEngine::textOf({});
        QCOMPARE(newLines(before).last(),
                 QStringLiteral("Transcribed, highest no-speech probability 0.00 (limit 0.60)"));
    }

    void threadCount_data()
    {
        QTest::addColumn<int>("processors");
        QTest::addColumn<int>("threads");
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("2") << 2 << 1;
        QTest::newRow("4") << 4 << 3;
        QTest::newRow("9") << 9 << 8;
        QTest::newRow("16") << 16 << 8;
    }

    void threadCount()
    {
        QFETCH(int, processors);
        QFETCH(int, threads);
        QCOMPARE(TranscriptionEngine::threadCountFor(processors), threads);
    }

    void loadsAndTranscribes()
    {
        const auto before = TestSupport::logLines().size();
        auto engine = loadedEngine();
        QVERIFY(engine->isLoaded());
        QCOMPARE(engine->loadedModel(), QStringLiteral("synthetic"));

        const QString text = Await::result(engine->transcribe(speech, QStringLiteral("auto"), QStringLiteral(" \n")));
        QVERIFY(!text.isEmpty());
        QCOMPARE(text, text.trimmed());

        const QStringList lines = newLines(before);
        QCOMPARE(lines.first(), QStringLiteral("Loading model from '%1'").arg(model));
        QVERIFY(lines.contains(QStringLiteral("Model loaded, ready")));
        QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^whisper: \\S"))).size() > 5);
        QVERIFY(!lines.filter(QStringLiteral("whisper: whisper_full_with_state: auto-detected language")).isEmpty());
        QVERIFY(lines.last().startsWith(QStringLiteral("Transcribed, highest no-speech probability ")));
        // The recognised text never reaches the log.
        for (const QString &line : lines)
            QVERIFY2(!line.contains(text), qPrintable(line));
    }

    void fixedLanguageIsPassedOn()
    {
        auto engine = loadedEngine();
        const auto before = TestSupport::logLines().size();
        QVERIFY(!Await::result(engine->transcribe(speech, QStringLiteral("ru"), QStringLiteral("Привет"))).isEmpty());
        QVERIFY(newLines(before).filter(QStringLiteral("auto-detected language")).isEmpty());
    }

    void cancelEndsWithCancelledThenRunsAgain()
    {
        auto engine = loadedEngine();
        // Cancelled while queued or running: whatever whisper returns, the outcome is the
        // cancellation, not an EngineError. A recognition asked for right after the cancel
        // neither undoes it nor is cancelled by it.
        auto cancelledTask = engine->transcribe(speech, QStringLiteral("ru"), QString());
        engine->abort();
        auto laterTask = engine->transcribe(speech, QStringLiteral("ru"), QString());
        bool cancelled = false;
        try {
            Await::result(std::move(cancelledTask));
        } catch (const Cancelled &) {
            cancelled = true;
        }
        QVERIFY(cancelled);
        QVERIFY(engine->isLoaded());
        QVERIFY(!Await::result(std::move(laterTask)).isEmpty());
    }

    void notLoadedWithoutModel()
    {
        TranscriptionEngine engine;
        QVERIFY(!engine.isLoaded());
        QCOMPARE(engineError(engine.transcribe(speech, QStringLiteral("ru"), QString())), EngineError::Kind::notLoaded);
    }

    void failedLoadLeavesNoModel()
    {
        auto engine = loadedEngine();
        QCOMPARE(engineError(engine->load(badModel, QStringLiteral("broken"))), EngineError::Kind::loadFailed);
        QVERIFY(!engine->isLoaded());
        QVERIFY(!engine->loadedModel());
        try {
            Await::result(engine->transcribe(speech, QStringLiteral("ru"), QString()));
            QFAIL("transcribed without a model");
        } catch (const EngineError &error) {
            QCOMPARE(error.description(), QStringLiteral("модель не загружена"));
        }
        // A good model loads after the failed one.
        Await::result(engine->load(model, QStringLiteral("again")));
        QCOMPARE(engine->loadedModel(), QStringLiteral("again"));
        QVERIFY(!Await::result(engine->transcribe(speech, QStringLiteral("ru"), QString())).isEmpty());
    }

    void unloadIsQueuedBeforeLaterWork()
    {
        auto engine = loadedEngine();
        const auto before = TestSupport::logLines().size();
        engine->unload();
        // Asked right after: the unload runs first, so the recognition finds no model.
        QCOMPARE(engineError(engine->transcribe(speech, QStringLiteral("ru"), QString())),
                 EngineError::Kind::notLoaded);
        QVERIFY(!engine->isLoaded());
        // The worker logs right after releasing the model, which the check above may beat.
        QTRY_VERIFY(newLines(before).contains(QStringLiteral("Model unloaded")));

        // Unloading nothing logs nothing (the engine's end waits for the queued unload).
        const auto after = TestSupport::logLines().size();
        engine->unload();
        engine.reset();
        QVERIFY(!newLines(after).contains(QStringLiteral("Model unloaded")));
    }
};

TALVANE_TEST_MAIN(TranscriptionEngineTest)
#include "TranscriptionEngineTest.moc"
