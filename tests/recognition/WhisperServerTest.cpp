// The cloud client against a real peer: whisper.cpp's own whisper-server, which speaks
// the same transcription protocol, run on 127.0.0.1 with a synthetic model.
#include "AwaitTask.h"
#include "SyntheticModel.h"
#include "TestSupport.h"

#include "recognition/RemoteTranscriber.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cmath>

using TestSupport::await;

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

std::vector<float> chirp(int count)
{
    std::vector<float> samples(count);
    for (int i = 0; i < count; ++i) {
        const float t = float(i) / 16000.0f;
        samples[i] = 0.4f * std::sin(2.0f * float(M_PI) * (200.0f + 150.0f * t) * t);
    }
    return samples;
}

} // namespace

class WhisperServerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess server;
    quint16 port = 0;
    QByteArray output; // everything the server printed

    RemoteEndpoint endpoint(const QString &path = u"/v1/audio/transcriptions"_qs) const
    {
        return {QUrl(u"http://127.0.0.1:%1%2"_qs.arg(port).arg(path)), u"Bearer sk-e2e-key"_qs,
                u"gemini-3-5-transcribe"_qs, u"Nimbrel Cloud"_qs};
    }

    bool serverAccepts()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString binary = QStringLiteral(TALVANE_WHISPER_PREFIX "/bin/whisper-server");
        QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(binary + u" is missing"_qs));
        const QString model = dir.filePath(u"ggml-synthetic.bin"_qs);
        QVERIFY(SyntheticModel::write(model.toStdString(), SyntheticModel::Options{}));
        port = freePort();
        QVERIFY(port != 0);

        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setWorkingDirectory(dir.path());
        connect(&server, &QProcess::readyRead, this, [this] { output += server.readAll(); });
        server.start(binary, {u"-m"_qs, model, u"-t"_qs, u"1"_qs, u"--host"_qs, u"127.0.0.1"_qs, u"--port"_qs,
                              QString::number(port), u"--inference-path"_qs, u"/v1/audio/transcriptions"_qs});
        QVERIFY2(server.waitForStarted(), qPrintable(server.errorString()));
        QElapsedTimer clock;
        clock.start();
        while (!serverAccepts()) {
            QVERIFY2(server.state() == QProcess::Running, output.constData());
            QVERIFY2(clock.elapsed() < 60'000, "whisper-server did not open its port within a minute");
            QTest::qWait(100);
        }
    }

    void cleanupTestCase()
    {
        server.terminate();
        if (!server.waitForFinished(5000))
            server.kill();
    }

    void recognisesATake_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QString>("seen"); // what the server says it processed
        QTest::newRow("ru with a prompt") << u"ru"_qs << u"  Термины, Kubernetes  "_qs << 48000
                                          << u"(48000 samples, 3.0 sec), 1 threads, 1 processors, lang = ru,"_qs;
        QTest::newRow("auto, no prompt") << u"auto"_qs << QString() << 40000
                                         << u"(40000 samples, 2.5 sec), 1 threads, 1 processors, lang = "_qs;
        QTest::newRow("en, blank prompt")
            << u"en"_qs << u" \n "_qs << 16000 << u"(16000 samples, 1.0 sec), 1 threads, 1 processors, lang = en,"_qs;
    }

    void recognisesATake()
    {
        QFETCH(QString, language);
        QFETCH(QString, prompt);
        QFETCH(int, samples);
        QFETCH(QString, seen);
        output.clear();
        const auto outcome = await(RemoteTranscriber::transcribe(chirp(samples), endpoint(), language, prompt));
        if (const auto error = outcome.errorAs<DescribedError>())
            QFAIL(qPrintable(error->description() + u"\n"_qs + QString::fromUtf8(output)));
        QVERIFY(outcome.value);
        const QString text = *outcome.value;
        // The synthetic model "recognises" random syllables; what matters is that the
        // server decoded our upload into a take and that its answer came back as text.
        QVERIFY2(QRegularExpression(u"^\\p{L}[\\p{L} ]*$"_qs).match(text).hasMatch(), qPrintable(text));
        QVERIFY2(output.contains("processing 'dictation.wav' " + seen.toUtf8()), output.constData());
    }

    void refusalFromTheRealServer()
    {
        const auto outcome =
            await(RemoteTranscriber::transcribe(chirp(8000), endpoint(u"/v2/nothing"_qs), u"auto"_qs, QString()));
        const auto error = outcome.errorAs<CloudError>();
        QVERIFY(error);
        QCOMPARE(error->status(), 404);
        QCOMPARE(error->message(), u"Nimbrel Cloud ответил HTTP 404"_qs);
    }
};

TALVANE_TEST_MAIN(WhisperServerTest)
#include "WhisperServerTest.moc"
