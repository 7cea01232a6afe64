#include "TestSupport.h"

#include "audio/AudioRecorder.h"

// Runs with PULSE_SERVER pointing at nothing: there is no input device at all.
class AudioNoInputTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startWithoutMicrophoneThrows()
    {
        AudioRecorder recorder;
        try {
            recorder.start();
            QFAIL("start() succeeded without a microphone");
        } catch (const RecorderError &error) {
            QCOMPARE(error.kind(), RecorderError::Kind::noInputDevice);
            QCOMPARE(error.description(), QStringLiteral("нет микрофона"));
        }
        QVERIFY(!recorder.isRecording());
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
        for (const QString &line : TestSupport::logLines())
            QVERIFY2(!line.contains(QStringLiteral("AudioRecorder: started")), qPrintable(line));
    }
};

TALVANE_TEST_MAIN(AudioNoInputTest)
#include "AudioNoInputTest.moc"
