// The local recogniser: model file checks, the whisper engine, and the command-line self-test.
#include "AwaitTask.h"
#include "SpeechFixture.h"
#include "SyntheticModel.h"
#include "TestSupport.h"

#include "app/SelfTest.h"
#include "app/TalvaneApp.h"
#include "audio/AudioRecorder.h"
#include "recognition/EngineError.h"
#include "recognition/ModelFile.h"
#include "recognition/TranscriptionEngine.h"

#include <QProcess>
#include <QTemporaryDir>

using TestSupport::await;
using Segments = std::vector<TranscriptionEngine::Segment>;
Q_DECLARE_METATYPE(Segments)

class RecognitionTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString model;             // a synthetic model: whisper loads and runs it in well under a second
    std::vector<float> speech; // a Russian phrase, conditioned for recognition

    QString path(const char *name) const { return dir.filePath(QString::fromUtf8(name)); }
    static QCoro::Task<bool> throwing(std::exception_ptr error) { co_return (std::rethrow_exception(error), true); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen"); // for the tray application the program starts
        QVERIFY(SyntheticModel::write((model = path("model.bin")).toStdString(), {}));
        TestSupport::writeFile(path("notes.bin"), "a text file renamed\n");
        QVERIFY(SpeechFixture::run(u"sox"_qs, u"-n -r 16000 -c 1 %1 trim 0 2"_qs.arg(path("silent.wav")).split(' ')));
        QVERIFY(SpeechFixture::speak(path("speech.wav")));
        const LoadedAudio audio = AudioRecorder::loadFile(path("speech.wav"));
        speech = AudioRecorder::process(audio.samples, audio.rate, double(audio.samples.size()) / audio.rate).samples;
    }

    void malformedFilesAreRejected_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray good = TestSupport::readFile(model);
        const auto set = [&](qsizetype o, qint32 v) { return good.left(o).append((char *)&v, 4) + good.mid(o + 4); };
        // The magic, 11 header fields, 80 × 201 mel filters, the tokens, then tensors (the first has 2 dimensions).
        const qsizetype ftype = 44, firstToken = 56 + 80 * 201 * 4 + 4;
        const qsizetype tensors = good.indexOf("encoder.positional_embedding") - 20;
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text renamed .bin") << QByteArray("This is a shopping list, not a model.\n");
        QTest::newRow("magic then random bytes") << good.left(4) + good.right(1 << 20); // random weights
        QTest::newRow("header only") << good.left(48);
        QTest::newRow("cut inside the vocabulary") << good.left(100000);
        QTest::newRow("cut after the vocabulary") << good.left(tensors); // whisper would run an empty model
        QTest::newRow("cut inside a tensor") << good.left(good.size() - 1000);
        QTest::newRow("cut inside the last tensor") << good.left(good.size() - 100); // whisper does not notice
        // The last record: header, one dimension, "decoder.blocks.0.cross_attn.out.bias", 64 floats.
        QTest::newRow("cut before the last tensor") << good.left(good.size() - (12 + 4 + 36 + 256));
        QTest::newRow("data after the last tensor") << good + QByteArray(7, '\0');
        QTest::newRow("unknown file type") << set(ftype, 999);
        QTest::newRow("file type without weight type") << set(ftype, 4);
        QTest::newRow("vocabulary too large") << set(4, 60000);
        QTest::newRow("vocabulary too small") << set(4, 1000);
        QTest::newRow("state not divisible by the heads") << set(12, 63);
        QTest::newRow("token length past the end") << set(firstToken, -16);
        QTest::newRow("tensor of a removed type") << set(tensors + 8, 4);
        QTest::newRow("tensor of an unknown type") << set(tensors + 8, 77);
        QTest::newRow("tensor with five dimensions") << set(tensors, 5);
        QTest::newRow("negative tensor name length") << set(tensors + 4, -1);
    }

    void malformedFilesAreRejected()
    {
        QFETCH(QByteArray, content);
        TestSupport::writeFile(path("bad.bin"), content);
        QVERIFY(ModelFile::problem(path("bad.bin")));
        TranscriptionEngine engine; // whisper itself would abort the process or run on garbage
        const auto failure = await(engine.load(path("bad.bin"), u"bad"_qs, true)).errorAs<EngineError>();
        QVERIFY(failure && failure->kind() == EngineError::Kind::loadFailed && !engine.isLoaded());
    }

    void textOf_data()
    {
        QTest::addColumn<Segments>("segments");
        QTest::addColumn<QString>("text");
        QTest::newRow("joined, \\n to space") << Segments{{" Да,", .1f}, {" нет\nда.", .2f}} << u"Да, нет да."_qs;
        QTest::newRow("split, invalid") << Segments{{" \xd0", .1f}, {"\x9f\xd1\x80\xff", .1f}} << u"Пр\uFFFD"_qs;
        QTest::newRow("null or over 0.60") << Segments{{nullptr, .1f}, {" да", 0.6f}, {" нет", 0.61f}} << u"да"_qs;
        const char *tags = "[BLANK_AUDIO](Музыка)[Аплодисменты](Applause)[MUSIC PLAYING][Music)(blank_audio)";
        QTest::newRow("noise tags") << Segments{{" до", .1f}, {tags, .1f}, {" после", .1f}} << u"до после"_qs;
        QTest::newRow("kept") << Segments{{"(music) [Смех]", .1f}, {" [Music", .1f}} << u"(music) [Смех] [Music"_qs;
    }

    void textOf()
    {
        QFETCH(Segments, segments);
        QFETCH(QString, text);
        QCOMPARE(TranscriptionEngine::textOf(segments), text);
    }

    void engineLoadsRecognisesCancelsAndUnloads()
    {
        QVERIFY(SyntheticModel::write(path("two-layers.bin").toStdString(), {.layers = 2})); // the checks follow layers
        TranscriptionEngine engine;
        const auto before = TestSupport::logLines().size();
        QVERIFY(!await(engine.load(model, u"synthetic"_qs, true)).error);
        const QString text = await(engine.transcribe(speech, u"auto"_qs, u" \n"_qs)).value.value_or(QString());
        QVERIFY(!text.isEmpty() && text == text.trimmed());
        for (const QString &line : TestSupport::logLines().mid(before)) // the text never reaches the log
            QVERIFY2(!line.contains(text), qPrintable(line));
        // A cancel ends the recognitions asked before it, not one asked right after (nor does that undo it).
        auto cancelled = engine.transcribe(speech, u"ru"_qs, {});
        engine.abort();
        QVERIFY(!await(engine.transcribe(speech, u"ru"_qs, {})).value.value_or(QString()).isEmpty());
        QVERIFY(await(std::move(cancelled)).errorAs<Cancelled>());
        QVERIFY(await(engine.load(path("absent.bin"), u"absent"_qs, true)).errorAs<EngineError>());
        QVERIFY(!engine.isLoaded() && !engine.loadedModel());                  // a failed load leaves no model…
        QVERIFY(!await(engine.load(path("two-layers.bin"), u"two"_qs, true)).error); // …and a good one loads after it
        QCOMPARE(engine.loadedModel(), u"two"_qs);
        engine.unload(); // asked right after: the unload runs first, so the recognition finds no model
        const auto none = await(engine.transcribe(speech, u"ru"_qs, {})).errorAs<EngineError>();
        QVERIFY(none && none->kind() == EngineError::Kind::notLoaded);
    }

    void commandLine() // arguments (paths against the current folder), the exit code, what the last line holds
    {
        const QList<std::tuple<QString, int, QString>> runs = {
            {u"--self-test model.bin"_qs, 2, u"usage: Talvane --self-test <model.bin>"_qs},
            {u"--self-test model.bin speech.wav"_qs, 0, u"TRANSCRIPT: "_qs},
            {u"--self-test notes.bin absent.wav ru"_qs, 1, u"прочитать аудиофайл"_qs}, // the audio first
            {u"--self-test model.bin silent.wav"_qs, 1, u"silent or too short"_qs},
            {u"--self-test notes.bin speech.wav"_qs, 1, u"FAILED: не удалось загрузить"_qs},
            {u"--selftest"_qs, 0, u" checks passed"_qs},
            {u"--version"_qs, 0, u"talvane "_qs + TalvaneApp::version()},
            {u"--help"_qs, 0, u"2 for a usage error."_qs},
            {u"-v --self-test model.bin"_qs, 2, u"Try 'talvane --help'"_qs}, // one line names '-v', one the hint
            {u"--self-test=x model.bin speech.wav"_qs, 2, u"Try 'talvane --help'"_qs},
            {u"--version --self-test"_qs, 2, u"Try 'talvane --help'"_qs},
            {u""_qs, 0, {}}}; // the tray application: an alert, then SIGTERM
        for (const auto &[arguments, exitCode, last] : runs) {
            QProcess talvane;
            talvane.setWorkingDirectory(dir.path());
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(); // no bus: a copy that runs
            environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, u"unix:path=/nonexistent"_qs); // elsewhere stays
            talvane.setProcessEnvironment(environment);                                 // out of this one's way
            const auto before = TestSupport::logLines().size();
            talvane.start(QStringLiteral(TALVANE_EXECUTABLE), arguments.split(u' ', Qt::SkipEmptyParts));
            const auto started = [&] { return !TestSupport::logLines().mid(before).filter(u" starting"_qs).isEmpty(); };
            if (last.isEmpty() && QTest::qWaitFor(started, 20'000)) // the signal comes while the alert is open
                talvane.terminate();
            QVERIFY(talvane.waitForFinished(120'000) && talvane.exitStatus() == QProcess::NormalExit);
            const QString out = QString::fromUtf8(talvane.readAllStandardOutput()).trimmed();
            const QString err = QString::fromUtf8(talvane.readAllStandardError()).trimmed();
            const bool said = out.split(u'\n').last().contains(last) || err.split(u'\n').last().contains(last);
            QVERIFY2(talvane.exitCode() == exitCode && said, qPrintable(arguments + ": " + out + err));
        }
    }

    // Lavapipe, mesa's Vulkan driver on the processor, stands in for a graphics card (ggml takes such a device
    // only when named); a driver setting that finds nothing leaves the processor. Both give the same words.
    void graphicsCardGivesTheProcessorsTranscript()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("lavapipe's shader compiler under AddressSanitizer takes minutes; the plain build runs this case");
#endif
        QStringList transcripts;
        for (const auto &[icd, device] : {std::pair{"/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", "Vulkan: llvmpipe"},
                                          std::pair{"/nonexistent/icd.json", "CPU"}}) {
            QProcess talvane;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"VK_ICD_FILENAMES"_qs, QString::fromUtf8(icd));
            environment.insert(u"GGML_VK_VISIBLE_DEVICES"_qs, u"0"_qs);
            talvane.setProcessEnvironment(environment);
            talvane.start(QStringLiteral(TALVANE_EXECUTABLE), {u"--self-test"_qs, model, path("speech.wav"), u"ru"_qs});
            QVERIFY(talvane.waitForFinished(300'000) && talvane.exitCode() == 0); // lavapipe: a minute at times
            const QStringList out = QString::fromUtf8(talvane.readAllStandardOutput()).split(u'\n');
            QVERIFY2(out.filter(u"device: "_qs).value(0).startsWith(u"device: "_qs + device), qPrintable(out.join('\n')));
            transcripts << out.filter(u"TRANSCRIPT: "_qs);
        }
        QCOMPARE(transcripts.size(), 2);
        QCOMPARE(transcripts[0], transcripts[1]);
    }

    void anyFailureEndsTheSelfTest()
    {
        QObject watchdog; // a run that hangs fails at once rather than blocking the whole program
        QTimer::singleShot(30'000, &watchdog, [] { QCoreApplication::exit(99); });
        for (const auto &thrown : {std::make_exception_ptr(std::bad_alloc()), std::make_exception_ptr(42)})
            QCOMPARE(SelfTest::run({model, path("speech.wav")}, [thrown](auto...) { return throwing(thrown); }), 1);
    }
};

TALVANE_TEST_MAIN(RecognitionTest)
#include "RecognitionTest.moc"
