// One dictation end to end on the test desktop with the components the program runs: the
// recorder on the virtual microphone, the local engine with a synthetic model (or
// whisper-server standing in for the cloud), the cleaner, the X11 paster and a real target
// window in another process. A synthetic model recognises random tokens, so what the target
// receives is compared with what the controller kept as the last dictation.
#include "DesktopPeers.h"
#include "SpeechFixture.h"
#include "SyntheticModel.h"
#include "TestSupport.h"

#include "app/Wiring.h"
#include "dictation/AppState.h"
#include "platform/CloudKeyProvider.h"
#include "platform/Paths.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <thread>

namespace {

const QString cloudKey = QStringLiteral("test-key-123");

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

bool finished(RecordingState state)
{
    return state == RecordingState::idle || state == RecordingState::error;
}

} // namespace

class DictationIntegrationTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString fifo;
    QByteArray phrase; // s16le, 16 kHz, mono
    QProcess server;
    quint16 port = 0;
    QByteArray serverOutput;

    // Speaks the phrase into the microphone. The pipe delivers faster than real time; a
    // speaker takes as long as the speech, and so does this.
    void speak()
    {
        QElapsedTimer clock;
        clock.start();
        std::thread writer([&] {
            QFile mic(fifo);
            if (mic.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                mic.write(phrase);
        });
        writer.join();
        const qint64 speechMs = phrase.size() / 2 / 16;
        QTest::qWait(std::max<qint64>(0, speechMs - clock.elapsed()) + 300);
    }

    void startServer(const QString &model)
    {
        const QString binary = QStringLiteral(TALVANE_WHISPER_PREFIX "/bin/whisper-server");
        QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(binary + QStringLiteral(" is missing")));
        port = freePort();
        QVERIFY(port != 0);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setWorkingDirectory(dir.path());
        connect(&server, &QProcess::readyRead, this, [this] { serverOutput += server.readAll(); });
        server.start(binary, {"-m", model, "-t", "1", "--host", "127.0.0.1", "--port", QString::number(port),
                              "--inference-path", "/v1/audio/transcriptions"});
        QVERIFY2(server.waitForStarted(), qPrintable(server.errorString()));
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(200))
                break;
            QVERIFY2(server.state() == QProcess::Running, serverOutput.constData());
            QVERIFY2(clock.elapsed() < 60'000, "whisper-server did not open its port within a minute");
            QTest::qWait(100);
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        fifo = qEnvironmentVariable("TALVANE_MIC_FIFO");
        QVERIFY2(!fifo.isEmpty(), "needs the desktop test session (scripts/test-session)");
        phrase = SpeechFixture::microphonePcm(dir.path());
        QVERIFY(phrase.size() > 32000);

        // The model the settings name, where the controller looks for it.
        const QString model = QString::fromStdString(Paths::modelFile("tiny").string());
        QVERIFY(SyntheticModel::write(model.toStdString(), SyntheticModel::Options{}));
        startServer(model);
    }

    void cleanupTestCase()
    {
        server.terminate();
        if (!server.waitForFinished(5000))
            server.kill();
    }

    void dictatesIntoTheTargetWindow_data()
    {
        QTest::addColumn<Engine>("engine");
        QTest::addColumn<bool>("cleanSpeech");
        QTest::addColumn<QString>("ready");
        QTest::newRow("local, cleaned") << Engine::local << true << QStringLiteral("Готово — Alt+Пробел");
        QTest::newRow("local, as recognised")
            << Engine::local << false << QStringLiteral("Готово — Alt+Пробел");
        QTest::newRow("cloud (whisper-server)")
            << Engine::cloud << true << QStringLiteral("Готово — Alt+Пробел (Nimbrel Cloud)");
    }

    void dictatesIntoTheTargetWindow()
    {
        QFETCH(Engine, engine);
        QFETCH(bool, cleanSpeech);
        QFETCH(QString, ready);

        if (engine == Engine::cloud)
            TestSupport::writeFile(CloudKeyFile::path(), QStringLiteral("{\"URL\": \"http://127.0.0.1:%1\", "
                                                                        "\"Key\": \"%2\"}")
                                                             .arg(port)
                                                             .arg(cloudKey)
                                                             .toUtf8());
        else
            QFile::remove(CloudKeyFile::path());

        AppState app(desktopCollaborators());
        app.settings().model = QStringLiteral("tiny");
        app.settings().language = QStringLiteral("ru");
        app.settings().engine = engine;
        app.settings().cleanSpeech = cleanSpeech;
        app.settings().autoPaste = true;
        QCoro::waitFor(app.prepare());
        QCOMPARE(app.status(), ready);
        QCOMPARE(app.state(), RecordingState::idle);

        const auto field = DesktopPeers::startTextField();
        QVERIFY2(field, "the target window did not come to the front");
        const QByteArray earlier = QByteArray("copied before the dictation: ") + QTest::currentDataTag();
        DesktopPeers::copy(earlier);
        const qsizetype logStart = TestSupport::logLines().size();
        const qsizetype served = serverOutput.count("processing 'dictation.wav'");

        app.toggle();
        QTRY_COMPARE_WITH_TIMEOUT(app.state(), RecordingState::recording, 10000);
        speak();
        app.toggle();
        QTRY_VERIFY_WITH_TIMEOUT(finished(app.state()), 120000);

        QCOMPARE(app.state(), RecordingState::idle);
        const QString text = app.lastDictation().value_or(QString());
        QVERIFY2(!text.isEmpty(), qPrintable(app.status()));
        QCOMPARE(app.status(), QStringLiteral("Вставлено символов: %1").arg(characterCount(text)));
        QTRY_COMPARE_WITH_TIMEOUT(field->received(), text, 10000);
        // The paster gives the clipboard back a second or so after the paste.
        QTRY_COMPARE_WITH_TIMEOUT(DesktopPeers::paste().value_or("(nothing)"), earlier, 10000);

        const QStringList log = TestSupport::logLines();
        const QStringList dictation = log.mid(logStart);
        // The whole phrase reached the recogniser: the recording is exactly what was spoken.
        const QString captured = QString::asprintf("Audio captured: %.2fs", phrase.size() / 2 / 16000.0);
        QVERIFY2(dictation.filter(captured).size() == 1, qPrintable(dictation.join('\n')));
        for (const char *step : {"State: recording — Слушаю…", "State: transcribing — Распознаю…"})
            QCOMPARE(dictation.filter(QString::fromUtf8(step)).size(), 1);
        QCOMPARE(serverOutput.count("processing 'dictation.wav'") - served, engine == Engine::cloud ? 1 : 0);
        for (const QString &line : log) {
            QVERIFY2(!line.contains(text), qPrintable(line));
            QVERIFY2(!line.contains(cloudKey), qPrintable(line));
        }
    }
};

TALVANE_GUI_TEST_MAIN(DictationIntegrationTest)
#include "DictationIntegrationTest.moc"
