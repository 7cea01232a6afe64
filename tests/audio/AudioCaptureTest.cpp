#include "SpeechFixture.h"
#include "TestSupport.h"

#include "audio/AudioRecorder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <thread>

namespace {

bool logHas(const QString &message)
{
    for (const QString &line : TestSupport::logLines())
        if (line.endsWith(QStringLiteral("] ") + message))
            return true;
    return false;
}

int countLines(const QString &prefix)
{
    int count = 0;
    for (const QString &line : TestSupport::logLines())
        count += line.section(QStringLiteral("] "), 1).startsWith(prefix);
    return count;
}

} // namespace

// Live capture from the session's PulseAudio, whose default source is a virtual microphone
// that delivers exactly the s16le 16 kHz mono bytes written into $TALVANE_MIC_FIFO.
class AudioCaptureTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString fifo;
    // The phrase, then one second of a square wave at -20 dBFS: s16le, 16 kHz, mono.
    QByteArray played;
    std::vector<float> playedSamples;
    static constexpr float toneLevel = 35.0f / 45.0f;

    // Plays the phrase into the microphone and waits until the recorder has taken all of
    // it (the recording ends with a tone whose block level is known).
    void speak(AudioRecorder &recorder)
    {
        QElapsedTimer clock;
        clock.start();
        std::thread writer([&] {
            QFile mic(fifo);
            if (mic.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                mic.write(played);
        });
        writer.join();
        QVERIFY(QTest::qWaitFor([&] { return std::fabs(recorder.currentLevel() - toneLevel) < 1e-3f; }, 10000));
        // The pipe delivers faster than real time; a real speaker takes as long as the speech.
        QTest::qWait(std::max<qint64>(0, playedSamples.size() / 16 - clock.elapsed()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        fifo = qEnvironmentVariable("TALVANE_MIC_FIFO");
        QVERIFY2(!fifo.isEmpty(), "needs the desktop test session (scripts/test-session)");
        played = SpeechFixture::microphonePcm(dir.path());
        QVERIFY(played.size() > 32000);
        for (int i = 0; i < 16000; ++i) {
            const qint16 sample = i % 2 ? 3277 : -3277;
            played.append(reinterpret_cast<const char *>(&sample), sizeof sample);
        }
        const auto *pcm = reinterpret_cast<const qint16 *>(played.constData());
        for (qsizetype i = 0; i < played.size() / 2; ++i)
            playedSamples.push_back(pcm[i] / 32768.0f);
    }

    void capturesWhatIsPlayed()
    {
        AudioRecorder recorder;
        recorder.start();
        QVERIFY(recorder.isRecording());
        QVERIFY(logHas(QStringLiteral("AudioRecorder: native format sr=16000 ch=1")));
        QVERIFY(logHas(QStringLiteral("AudioRecorder: started")));

        speak(recorder);
        const Take take = recorder.stop();
        QVERIFY(!recorder.isRecording());

        QCOMPARE(countLines(QStringLiteral("AudioRecorder: raw samples=%1 duration=").arg(playedSamples.size())), 1);
        QCOMPARE(countLines(QStringLiteral("AudioRecorder: first buffer after ")), 1);
        QCOMPARE(take.kind, Take::Kind::audio);
        // The take is what was played: same length, and its peak raised to 0.95 by the same gain.
        QCOMPARE(take.samples.size(), playedSamples.size());
        const float gain = std::min(0.95f / AudioRecorder::peakOf(playedSamples), 25.0f);
        QVERIFY(std::fabs(AudioRecorder::peakOf(take.samples) - AudioRecorder::peakOf(playedSamples) * gain) < 1e-4f);
        for (size_t i = 0; i < take.samples.size(); i += 997)
            QVERIFY(std::fabs(take.samples[i] - playedSamples[i] * gain) < 1e-4f);
    }

    void restartEndsTheRunningRecording()
    {
        AudioRecorder recorder;
        recorder.start();
        speak(recorder);
        const int decisions = countLines(QStringLiteral("AudioRecorder: final output="));
        recorder.start(); // ends the first recording, with its log lines
        QCOMPARE(countLines(QStringLiteral("AudioRecorder: final output=")), decisions + 1);
        QVERIFY(recorder.isRecording());
        QTest::qWait(500);
        // Nothing was played into the second recording.
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
    }

    void cancelledSamplesAreForgotten()
    {
        AudioRecorder recorder;
        recorder.start();
        speak(recorder);
        recorder.clearSamples();
        QVERIFY(recorder.currentLevel() > 0); // the level of the last block stays
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
    }
};

TALVANE_TEST_MAIN(AudioCaptureTest)
#include "AudioCaptureTest.moc"
