#include "SpeechFixture.h"
#include "TestSupport.h"

#include "audio/AudioRecorder.h"

#include <QTemporaryDir>

#include <cmath>

using Samples = std::vector<float>;
using Kind = Take::Kind;
// Table rows, one element per column (named where the row is taken apart).
using Recording = std::tuple<Samples, double, Kind, size_t, float>;
using Conversion = std::tuple<Samples, int, double, Samples>;
using AudioFile = std::tuple<QString, QStringList, QByteArray, double, double, double, QString>;
Q_DECLARE_METATYPE(Samples)
Q_DECLARE_METATYPE(Recording)
Q_DECLARE_METATYPE(Conversion)
Q_DECLARE_METATYPE(AudioFile)

class AudioTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    double phrase = 0; // seconds
    static double seconds(const LoadedAudio &audio) { return double(audio.samples.size()) / audio.rate; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(SpeechFixture::speak(dir.filePath("phrase.wav")), "espeak-ng must be installed");
        phrase = seconds(AudioRecorder::loadFile(dir.filePath("phrase.wav")));
        QVERIFY(phrase > 2);
    }

    void process_data() // the decision at the stop and the conditioning, at 48 kHz
    {
        QTest::addColumn<Recording>("recording");
        QTest::newRow("no samples") << Recording{Samples(), 5, Kind::empty, 0, 0};
        QTest::newRow("loud but 0.39 s") << Recording{Samples(18720, 0.8f), 0.39, Kind::tooShort, 0, 0};
        QTest::newRow("duration not a number") << Recording{Samples(48000, 0.8f), std::nan(""), Kind::tooShort, 0, 0};
        QTest::newRow("negative duration") << Recording{Samples(48000, 0.8f), -1, Kind::tooShort, 0, 0};
        QTest::newRow("peak 0.009") << Recording{Samples(24000, 0.009f), 0.5, Kind::silence, 0, 0};
        QTest::newRow("negative peak 0.009") << Recording{Samples(24000, -0.009f), 0.5, Kind::silence, 0, 0};
        QTest::newRow("peak 0.001, the self-test's silence")
            << Recording{Samples(48000, 0.001f), 1, Kind::silence, 0, 0};
        QTest::newRow("peak exactly 0.01, gain limit")
            << Recording{Samples(24000, 0.01f), 0.5, Kind::audio, 8000, 0.25f};
        QTest::newRow("exactly 0.4 s") << Recording{Samples(19200, 0.5f), 0.4, Kind::audio, 6400, 0.95f};
        QTest::newRow("3.27 s") << Recording{Samples(156960, 0.4f), 3.27, Kind::audio, 52320, 0.95f};
        QTest::newRow("0.96 left alone") << Recording{Samples(48000, 0.96f), 1, Kind::audio, 16000, 0.96f};
    }
    void process()
    {
        QFETCH(Recording, recording);
        const auto &[samples, duration, kind, size, peak] = recording;
        const Take take = AudioRecorder::process(samples, 48000, duration);
        QVERIFY(take.kind == kind);
        QCOMPARE(take.samples.size(), size);
        QCOMPARE(AudioRecorder::peakOf(take.samples), peak);
    }

    void conversions_data() // mixed down, then resampled to 16 kHz
    {
        QTest::addColumn<Conversion>("conversion");
        QTest::newRow("8 kHz, halfway points") << Conversion{{0, 1, -1}, 1, 8000, {0, 0.5f, 1, 0, -1, -1}};
        QTest::newRow("48 kHz, every third") << Conversion{{0, 1, 2, 3, 4, 5, 6}, 1, 48000, {0, 3}};
        QTest::newRow("too few for one output") << Conversion{{0.5f, 0.5f}, 1, 48000, {}};
        QTest::newRow("stereo averages") << Conversion{{1, 0, 0.25f, 0.75f}, 2, 16000, {0.5f, 0.5f}};
        QTest::newRow("no channels") << Conversion{{0.1f}, 0, 16000, {}};
        QTest::newRow("no frames") << Conversion{{}, 2, 48000, {}};
    }
    void conversions()
    {
        QFETCH(Conversion, conversion);
        const auto &[input, channels, rate, output] = conversion;
        QCOMPARE(AudioRecorder::resample(AudioRecorder::mono(input, channels), rate, 16000), output);
    }

    void meterLevel()
    {
        QCOMPARE(AudioRecorder::meterLevel(Samples(1024, -1.0f)), 1.0f);                        // clamped
        QVERIFY(std::fabs(AudioRecorder::meterLevel(Samples(1024, 0.01f)) - 1 / 3.0f) < 1e-4f); // -40 dBFS
        QCOMPARE(AudioRecorder::meterLevel(Samples(1024, 0.0f)) + AudioRecorder::meterLevel(Samples{}), 0.0f);
    }

    void files_data()
    {
        // Made by sox from the phrase (its first `part` of bytes kept) or given as `bytes`; read at `rate`, as
        // `length` of the phrase (-1: shorter, or refused), or refused for `reason`.
        QTest::addColumn<AudioFile>("file");
        const auto made = [](const char *name, QStringList sox, double part, double rate, double length) {
            return AudioFile{name, sox, QByteArray(), part, rate, length, QString()};
        };
        const auto bad = [](const char *name, const QByteArray &bytes, const char *reason) {
            return AudioFile{name, QStringList(), bytes, 0, 0, 0, reason};
        };
        QTest::newRow("WAV 8 kHz mono 16 bit") << made("a.wav", {"-r", "8000", "-b", "16"}, 1, 8000, 1);
        QTest::newRow("FLAC 44.1 kHz stereo 24 bit")
            << made("b.flac", {"-r", "44100", "-c", "2", "-b", "24"}, 1, 44100, 1);
        QTest::newRow("WAV cut in half") << made("e.wav", {"-r", "48000"}, 0.5, 48000, 0.5);
        QTest::newRow("FLAC cut") << made("f.flac", {}, 0.5, 22050, -1);
        QTest::newRow("Ogg cut") << made("g.ogg", {}, 0.5, 22050, -1);
        QTest::newRow("MP3 cut") << made("h.mp3", {}, 0.5, 22050, -1);
        // Conditioning makes 16,000 samples of each sample of a file at 1 Hz: 200 bytes would ask for 6 GB.
        const QByteArray slow("RIFF\xec\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\1\0\0\0\2\0\0\0\2\0\x10\0data\xc8\0\0\0", 44);
        QTest::newRow("empty") << bad("empty.wav", "", "файл пуст");
        QTest::newRow("text named .wav") << bad("notes.wav", "some text\n", "формат не поддерживается");
        QTest::newRow("text named .mp3") << bad("notes.mp3", "some text\n", "повреждён"); // tried as MP3
        QTest::newRow("WAV at 1 Hz") << bad("slow.wav", slow + QByteArray(200, '\x10'), "1 Гц не поддерживается");
        QTest::newRow("WAV header cut short") << bad("short.wav", QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16), "");
        QTest::newRow("absent") << bad("absent.wav", QByteArray(), "файл не найден");
        QTest::newRow("folder") << bad(".", QByteArray(), "это папка");
    }
    void files()
    {
        QFETCH(AudioFile, file);
        const auto &[name, sox, bytes, part, rate, length, reason] = file;
        const QString path = dir.filePath(name);
        if (rate > 0) {
            QVERIFY(SpeechFixture::convert(dir.filePath("phrase.wav"), dir.filePath("whole-" + name), sox));
            const QByteArray whole = TestSupport::readFile(dir.filePath("whole-" + name));
            TestSupport::writeFile(path, whole.left(qsizetype(double(whole.size()) * part)));
        } else if (!bytes.isNull()) {
            TestSupport::writeFile(path, bytes);
        }
        try {
            const LoadedAudio audio = AudioRecorder::loadFile(path);
            QCOMPARE(audio.rate, rate);
            QVERIFY2(length < 0 ? seconds(audio) < phrase : std::fabs(seconds(audio) / phrase - length) < 0.05,
                     qPrintable(QString::number(seconds(audio))));
            QVERIFY(AudioRecorder::peakOf(audio.samples) > 0.1f);
        } catch (const RecorderError &error) {
            QCOMPARE(error.kind(), RecorderError::Kind::unreadableFile);
            QVERIFY2((length < 0 || rate == 0) && error.description().contains(reason),
                     qPrintable(error.description()));
        }
    }

    void startWithoutMicrophoneThrows() // as audio_no_input_test, where PULSE_SERVER names no server
    {
        if (!qEnvironmentVariable("PULSE_SERVER").contains("/nonexistent/"))
            QSKIP("needs PULSE_SERVER pointing at nothing, as audio_no_input_test runs it");
        AudioRecorder recorder;
        try {
            recorder.start();
        } catch (const RecorderError &error) {
            QCOMPARE(error.kind(), RecorderError::Kind::noInputDevice);
        }
        QVERIFY(!recorder.isRecording());
        QCOMPARE(recorder.stop().kind, Kind::empty);
    }
};

TALVANE_TEST_MAIN(AudioTest)
#include "AudioTest.moc"
