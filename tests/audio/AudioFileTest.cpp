#include "SpeechFixture.h"
#include "TestSupport.h"

#include "audio/AudioRecorder.h"

#include <QDir>
#include <QTemporaryDir>

#include <cmath>
#include <optional>

namespace {

double rmsOf(const std::vector<float> &samples)
{
    double sum = 0;
    for (float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / samples.size());
}

double secondsOf(const LoadedAudio &audio)
{
    return audio.samples.size() / audio.rate;
}

// The error loadFile throws for `path`, or nothing when it reads the file.
std::optional<RecorderError> loadError(const QString &path)
{
    try {
        AudioRecorder::loadFile(path);
    } catch (const RecorderError &error) {
        return error;
    }
    return std::nullopt;
}

} // namespace

class AudioFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString original;
    LoadedAudio reference;

    QString path(const QString &name) const { return dir.filePath(name); }

    // The first `fraction` of the bytes of `source`, written to `name`.
    QString truncated(const QString &source, double fraction, const QString &name) const
    {
        const QByteArray bytes = TestSupport::readFile(source);
        TestSupport::writeFile(path(name), bytes.left(static_cast<qsizetype>(bytes.size() * fraction)));
        return path(name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        original = path(QStringLiteral("speech.wav"));
        QVERIFY2(SpeechFixture::speak(original), "espeak-ng must be installed");
        reference = AudioRecorder::loadFile(original);
        QCOMPARE(reference.rate, 22050.0);
        QVERIFY(secondsOf(reference) > 2.0);
        QVERIFY(AudioRecorder::peakOf(reference.samples) > 0.1f);
    }

    void readsFormats_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<double>("rate");

        QTest::newRow("WAV 8 kHz mono 16 bit") << "a.wav" << QStringList{"-r", "8000", "-c", "1", "-b", "16"} << 8000.0;
        QTest::newRow("WAV 48 kHz stereo float")
            << "b.wav" << QStringList{"-r", "48000", "-c", "2", "-e", "floating-point", "-b", "32"} << 48000.0;
        QTest::newRow("FLAC 16 kHz mono") << "c.flac" << QStringList{"-r", "16000", "-c", "1"} << 16000.0;
        QTest::newRow("FLAC 44.1 kHz stereo 24 bit")
            << "d.flac" << QStringList{"-r", "44100", "-c", "2", "-b", "24"} << 44100.0;
        QTest::newRow("Ogg 32 kHz stereo") << "e.ogg" << QStringList{"-r", "32000", "-c", "2"} << 32000.0;
        QTest::newRow("Ogg 11.025 kHz mono") << "f.ogg" << QStringList{"-r", "11025", "-c", "1"} << 11025.0;
        QTest::newRow("MP3 48 kHz mono") << "g.mp3" << QStringList{"-r", "48000", "-c", "1"} << 48000.0;
        QTest::newRow("MP3 22.05 kHz stereo") << "h.mp3" << QStringList{"-r", "22050", "-c", "2"} << 22050.0;
    }

    void readsFormats()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, options);
        QFETCH(double, rate);

        QVERIFY(SpeechFixture::convert(original, path(name), options));
        const LoadedAudio audio = AudioRecorder::loadFile(path(name));
        QCOMPARE(audio.rate, rate);
        // Lossy codecs pad a little and move the peak a little; the speech is all there.
        QVERIFY2(std::fabs(secondsOf(audio) - secondsOf(reference)) < 0.1,
                 qPrintable(QString::number(secondsOf(audio))));
        QVERIFY2(std::fabs(AudioRecorder::peakOf(audio.samples) / AudioRecorder::peakOf(reference.samples) - 1) < 0.25,
                 qPrintable(QString::number(AudioRecorder::peakOf(audio.samples))));
        QVERIFY2(std::fabs(rmsOf(audio.samples) / rmsOf(reference.samples) - 1) < 0.2,
                 qPrintable(QString::number(rmsOf(audio.samples))));

        const Take take = AudioRecorder::process(audio.samples, audio.rate, secondsOf(audio));
        QCOMPARE(take.kind, Take::Kind::audio);
        QVERIFY(std::fabs(take.samples.size() / 16000.0 - secondsOf(audio)) < 0.01);
    }

    void stereoIsMixedDown()
    {
        // Right channel the inverse of the left: the mix-down cancels to silence.
        const QString file = path(QStringLiteral("opposite.wav"));
        QVERIFY(SpeechFixture::convert(original, file, {"-c", "2"}, {"remix", "1", "1i"}));
        const LoadedAudio audio = AudioRecorder::loadFile(file);
        QCOMPARE(audio.samples.size(), reference.samples.size());
        QVERIFY(AudioRecorder::peakOf(audio.samples) < 1e-3f);
        QCOMPARE(AudioRecorder::process(audio.samples, audio.rate, secondsOf(audio)).kind, Take::Kind::silence);
    }

    void truncatedWavKeepsWhatIsThere()
    {
        const QString full = path(QStringLiteral("full.wav"));
        QVERIFY(SpeechFixture::convert(original, full, {"-r", "48000"}));
        const LoadedAudio audio = AudioRecorder::loadFile(truncated(full, 0.5, QStringLiteral("half.wav")));
        QCOMPARE(audio.rate, 48000.0);
        QVERIFY(std::fabs(secondsOf(audio) - secondsOf(reference) / 2) < 0.05);
    }

    void truncatedCompressedFilesNeverCrash_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("FLAC") << "cut.flac";
        QTest::newRow("Ogg") << "cut.ogg";
        QTest::newRow("MP3") << "cut.mp3";
    }

    void truncatedCompressedFilesNeverCrash()
    {
        // Either the readable part or a clear error; never a crash, never more than was there.
        QFETCH(QString, name);
        const QString full = path(QStringLiteral("full-") + name);
        QVERIFY(SpeechFixture::convert(original, full, {}));
        const QString cut = truncated(full, 0.5, name);
        try {
            const LoadedAudio audio = AudioRecorder::loadFile(cut);
            QVERIFY(secondsOf(audio) < secondsOf(reference));
        } catch (const RecorderError &error) {
            QCOMPARE(error.kind(), RecorderError::Kind::unreadableFile);
        }
    }

    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("description");

        const QString prefix = QStringLiteral("не удалось прочитать аудиофайл: ");
        QTest::newRow("empty") << "empty.wav" << QByteArray() << prefix + "файл пуст";
        QTest::newRow("text named .wav") << "notes.wav" << QByteArray("just some text, not audio\n")
                                         << prefix + "это не аудиофайл или его формат не поддерживается";
        // The name makes the MP3 decoder try it and find no frames.
        QTest::newRow("text named .mp3") << "notes.mp3" << QByteArray("just some text, not audio\n")
                                         << prefix + "файл повреждён или это не аудиофайл";
        // Conditioning would make 16,000 samples of each one.
        QTest::newRow("WAV at 1 Hz") << "slow.wav"
                                     << QByteArray("RIFF\xec\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"
                                                   "\x01\x00\x00\x00\x02\x00\x00\x00\x02\x00\x10\x00"
                                                   "data\xc8\x00\x00\x00",
                                                   44) +
                                            QByteArray(200, '\x10')
                                     << prefix + "частота дискретизации 1 Гц не поддерживается";
        QTest::newRow("WAV header cut short")
            << "short.wav" << QByteArray("RIFF\x24\x00\x00\x00WAVEfmt ", 16) << QString();
    }

    void unreadableFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, description);

        TestSupport::writeFile(path(name), content);
        const auto error = loadError(path(name));
        QVERIFY(error);
        QCOMPARE(error->kind(), RecorderError::Kind::unreadableFile);
        if (!description.isEmpty())
            QCOMPARE(error->description(), description);
        else
            QVERIFY(error->description().startsWith(QStringLiteral("не удалось прочитать аудиофайл")));
    }

    void missingFileAndFolder()
    {
        QCOMPARE(loadError(path(QStringLiteral("absent.wav")))->description(),
                 QStringLiteral("не удалось прочитать аудиофайл: файл не найден"));
        QCOMPARE(loadError(dir.path())->description(),
                 QStringLiteral("не удалось прочитать аудиофайл: это папка, а не файл"));
    }
};

TALVANE_TEST_MAIN(AudioFileTest)
#include "AudioFileTest.moc"
