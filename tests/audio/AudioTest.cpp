#include "SpeechFixture.h"

#include "audio/AudioRecorder.h"

using Samples = std::vector<float>;
using Conditioning = std::tuple<Samples, int, double, double, Take::Kind, Samples>;
using AudioFile = std::tuple<QString, QStringList, double, double, QByteArray, QString>;

class AudioTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    static double seconds(const LoadedAudio &audio) { return double(audio.samples.size()) / audio.rate; }

private Q_SLOTS:
    void conditioning_data() // what a take becomes at the stop: mixed down, resampled to 16 kHz, brought up to 0.95
    {
        QTest::addColumn<Conditioning>("take"); // samples, channels, rate, seconds; what becomes of them
        // clang-format off
        QTest::newRow("no channels") << Conditioning{{0.5f, 0.5f}, 0, 16000, 5, Take::Kind::empty, {}};
        QTest::newRow("loud but 0.39 s") << Conditioning{Samples(18720, 0.8f), 1, 48000, 0.39, Take::Kind::tooShort, {}};
        QTest::newRow("duration not a number") << Conditioning{Samples(48000, 0.8f), 1, 48000, std::nan(""), Take::Kind::tooShort, {}};
        QTest::newRow("negative peak 0.009") << Conditioning{Samples(24000, -0.009f), 1, 48000, 0.5, Take::Kind::silence, {}};
        QTest::newRow("peak exactly 0.01, gain limit") << Conditioning{Samples(24000, 0.01f), 1, 48000, 0.5, Take::Kind::audio, Samples(8000, 0.25f)};
        QTest::newRow("exactly 0.4 s, every third") << Conditioning{Samples(19200, 0.5f), 1, 48000, 0.4, Take::Kind::audio, Samples(6400, 0.95f)};
        QTest::newRow("stereo, 8 kHz halfway, peak 1 kept") << Conditioning{{1.25f, 0.75f, -1, -1}, 2, 8000, 1, Take::Kind::audio, {1, 0, -1, -1}};
        // clang-format on
    }
    void conditioning()
    {
        QFETCH(Conditioning, take);
        const auto &[input, channels, rate, duration, kind, output] = take;
        const Take result = AudioRecorder::process(AudioRecorder::mono(input, channels), rate, duration);
        QVERIFY(result.kind == kind && result.samples == output);
    }

    void meterRisesWithTheLevel()
    {
        const auto at = [](float level, int count = 1024) { return AudioRecorder::meterLevel(Samples(count, level)); };
        QVERIFY(at(0) == 0 && at(1, 0) == 0 && 0 < at(0.01f) && at(0.01f) < at(0.1f) && at(0.1f) < 1 && at(-1) == 1);
    }

    void files_data()
    {
        // clang-format off
        QTest::addColumn<AudioFile>("file"); // sox's phrase cut to |part| (< 0: shorter or refused), read at rate; or bytes refused for reason
        const QByteArray slow("RIFF\xec\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\1\0\0\0\2\0\0\0\2\0\x10\0data\xc8\0\0\0", 44); // 1 Hz: 6 GB once resampled
        QTest::newRow("FLAC 44.1 kHz stereo 24 bit") << AudioFile{"b.flac", {"-r", "44100", "-c", "2", "-b", "24"}, 1, 44100, {}, {}};
        QTest::newRow("WAV 8 kHz 16 bit cut in half") << AudioFile{"e.wav", {"-r", "8000", "-b", "16"}, 0.5, 8000, {}, {}};
        QTest::newRow("FLAC cut") << AudioFile{"f.flac", {}, -0.5, 22050, {}, {}};
        QTest::newRow("Ogg cut") << AudioFile{"g.ogg", {}, -0.5, 22050, {}, {}};
        QTest::newRow("MP3 cut") << AudioFile{"h.mp3", {}, -0.5, 22050, {}, {}};
        QTest::newRow("empty") << AudioFile{"empty.wav", {}, 0, 0, "", "файл пуст"};
        QTest::newRow("text named .wav") << AudioFile{"notes.wav", {}, 0, 0, "some text\n", "формат не поддерживается"};
        QTest::newRow("text named .mp3") << AudioFile{"notes.mp3", {}, 0, 0, "some text\n", "повреждён"}; // tried as MP3
        QTest::newRow("WAV at 1 Hz") << AudioFile{"slow.wav", {}, 0, 0, slow + QByteArray(200, '\x10'), "1 Гц не поддерживается"};
        QTest::newRow("WAV header cut short") << AudioFile{"short.wav", {}, 0, 0, QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16), ""};
        QTest::newRow("absent") << AudioFile{"absent.wav", {}, 0, 0, {}, "файл не найден"};
        QTest::newRow("folder") << AudioFile{".", {}, 0, 0, {}, "это папка"};
        // clang-format on
    }
    void files()
    {
        QFETCH(AudioFile, file);
        const auto &[name, sox, part, rate, bytes, reason] = file;
        const QString path = dir.filePath(name), wav = dir.filePath("phrase.wav");
        QVERIFY2(SpeechFixture::speak(wav), "espeak-ng must be installed");
        const double phrase = seconds(AudioRecorder::loadFile(wav));
        if (rate > 0)
            QVERIFY(SpeechFixture::convert(wav, path, sox) && QFile::resize(path, QFile(path).size() * std::abs(part)));
        else if (!bytes.isNull())
            TestSupport::writeFile(path, bytes);
        try {
            const LoadedAudio audio = AudioRecorder::loadFile(path);
            QVERIFY(audio.rate == rate && AudioRecorder::peakOf(audio.samples) > 0.1f);
            QVERIFY(part < 0 ? seconds(audio) < phrase : std::fabs(seconds(audio) / phrase - part) < 0.05);
        } catch (const RecorderError &e) {
            QVERIFY(part <= 0 && e.kind() == RecorderError::Kind::unreadableFile && e.description().contains(reason));
        }
    }

    void startWithoutMicrophoneThrows() // as audio_no_input_test, where PULSE_SERVER names no server
    {
        if (!qEnvironmentVariable("PULSE_SERVER").contains("/nonexistent/"))
            QSKIP("needs PULSE_SERVER pointing at nothing, as audio_no_input_test runs it");
        AudioRecorder recorder;
        try {
            recorder.start();
            QFAIL("started without a microphone");
        } catch (const RecorderError &error) {
            QVERIFY(error.kind() == RecorderError::Kind::noInputDevice && !recorder.isRecording());
        }
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
    }
};

TALVANE_TEST_MAIN(AudioTest)
#include "AudioTest.moc"
