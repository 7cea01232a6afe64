#include "SpeechFixture.h"
#include "TestSupport.h"

#include "SyntheticModel.h"
#include "app/SelfTest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

namespace {

struct Run
{
    int exitCode = -1;
    QStringList lines; // standard output
};

// Runs the program with `arguments` in `folder` and waits for its end.
Run talvane(const QStringList &arguments, const QString &folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(TALVANE_EXECUTABLE), arguments);
    Run run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return run;
}

bool logHas(const QString &fragment)
{
    return !TestSupport::logLines().filter(fragment).isEmpty();
}

const QString usage = QStringLiteral("usage: Talvane --self-test <model.bin> <audio file> [language]");

} // namespace

class SelfTestTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString model;
    QString speech;

    QString path(const QString &name) const { return dir.filePath(name); }

    static void verifyPrologue(const Run &run)
    {
        QVERIFY(run.lines.size() >= 2);
        QVERIFY(run.lines[0].startsWith(QStringLiteral("whisper: ")));
        QVERIFY(run.lines[0].size() > 20);
        QCOMPARE(run.lines[1], QStringLiteral("silence guard: ok"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        model = path(QStringLiteral("ggml-synthetic.bin"));
        QVERIFY(SyntheticModel::write(model.toStdString(), {}));
        speech = path(QStringLiteral("speech.wav"));
        QVERIFY(SpeechFixture::speak(speech));
    }

    void usageWithTooFewArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList{"--self-test"};
        QTest::newRow("model only") << QStringList{"--self-test", "model.bin"};
        QTest::newRow("after other arguments") << QStringList{"-v", "--self-test", "model.bin"};
    }

    void usageWithTooFewArguments()
    {
        QFETCH(QStringList, arguments);
        const Run run = talvane(arguments);
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.lines, QStringList{usage});
    }

    void recognisesSpeech()
    {
        // Relative paths are taken against the current folder; no language means "auto".
        const Run run = talvane({"--self-test", "ggml-synthetic.bin", "speech.wav"}, dir.path());
        verifyPrologue(run);
        QCOMPARE(run.lines.size(), 4);
        static const QRegularExpression timing(
            QStringLiteral("^audio \\d+\\.\\d\\ds, model load \\d+\\.\\d\\ds, transcription \\d+\\.\\d\\ds$"));
        QVERIFY2(timing.match(run.lines[2]).hasMatch(), qPrintable(run.lines[2]));
        QVERIFY(run.lines[2].startsWith(QStringLiteral("audio 3.")) ||
                run.lines[2].startsWith(QStringLiteral("audio 2.")));
        QVERIFY(run.lines[3].startsWith(QStringLiteral("TRANSCRIPT: ")));
        QVERIFY(run.lines[3].size() > QStringLiteral("TRANSCRIPT: ").size());
        QCOMPARE(run.exitCode, 0);
        QVERIFY(logHas(QStringLiteral("auto-detected language")));
        QVERIFY(logHas(QStringLiteral("Model loaded, ready")));
    }

    void missingAudioFileFailsBeforeTheModel()
    {
        const auto before = TestSupport::logLines().size();
        const Run run = talvane({"--self-test", model, path(QStringLiteral("absent.wav")), "ru"});
        verifyPrologue(run);
        QCOMPARE(run.lines.mid(2), QStringList{"SELF-TEST FAILED: не удалось прочитать аудиофайл: файл не найден"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(TestSupport::logLines().mid(before).filter(QStringLiteral("Loading model")).isEmpty());
    }

    void silentFileIsRejected()
    {
        const QString silent = path(QStringLiteral("silent.wav"));
        QVERIFY(SpeechFixture::run(QStringLiteral("sox"),
                                   {"-n", "-r", "16000", "-c", "1", "-b", "16", silent, "trim", "0", "2"}));
        const Run run = talvane({"--self-test", model, silent});
        verifyPrologue(run);
        QCOMPARE(run.lines.mid(2), QStringList{"audio file was rejected as silent or too short"});
        QCOMPARE(run.exitCode, 1);
    }

    void badModelFails()
    {
        const QString bad = path(QStringLiteral("ggml-notes.bin"));
        TestSupport::writeFile(bad, "a text file renamed\n");
        const Run run = talvane({"--self-test", bad, speech});
        verifyPrologue(run);
        QCOMPARE(run.lines.mid(2), QStringList{"SELF-TEST FAILED: не удалось загрузить ggml-notes.bin"});
        QCOMPARE(run.exitCode, 1);
    }

    void anyFailureEndsTheRun()
    {
        // Whatever the check throws, the run ends with exit code 1 (it used to wait forever
        // on anything but a DescribedError).
        for (const std::exception_ptr &thrown :
             {std::make_exception_ptr(std::bad_alloc()), std::make_exception_ptr(42)}) {
            QTimer watchdog; // a hung run fails the test instead of blocking it
            watchdog.callOnTimeout([] { QCoreApplication::exit(99); });
            watchdog.start(30000);
            const int code = SelfTest::run({model, speech}, [thrown](QString, QString, QString) -> QCoro::Task<bool> {
                std::rethrow_exception(thrown);
                co_return false;
            });
            QCOMPARE(code, 1);
        }
    }

    void checkSuite()
    {
        const Run run = talvane({"--selftest"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.lines.isEmpty());
        QVERIFY(run.lines.last().endsWith(QStringLiteral("checks passed")));
        QVERIFY(run.lines.filter(QStringLiteral("FAILED")).isEmpty());
    }

    void onlyExactSwitchesCount_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::newRow("with a value") << "--self-test=x";
        QTest::newRow("no dashes") << "self-test";
        QTest::newRow("upper case") << "--SELF-TEST";
    }

    void onlyExactSwitchesCount()
    {
        static int started = 0;
        // Anything else starts the tray application.
        QFETCH(QString, argument);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(TALVANE_EXECUTABLE), {argument, "model.bin", "speech.wav"});
        QVERIFY(process.waitForStarted());
        // The tray application announces itself in the shared support folder's log.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return TestSupport::logLines().filter(QStringLiteral("[INFO] Talvane ") + QStringLiteral(TALVANE_VERSION) +
                                                      QStringLiteral(" starting")).size() > started;
            },
            10000));
        ++started;
        QCOMPARE(process.state(), QProcess::Running);
        process.terminate(); // quits the way the menu does
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }
};

TALVANE_TEST_MAIN(SelfTestTest)
#include "SelfTestTest.moc"
