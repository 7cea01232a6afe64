#include "TestSupport.h"

#include "audio/AudioRecorder.h"

#include <cmath>
#include <vector>

namespace {

std::vector<float> constant(size_t count, float value)
{
    return std::vector<float>(count, value);
}

// A tone whose largest sample is exactly `peak`.
std::vector<float> tone(size_t count, float peak)
{
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = peak * static_cast<float>(std::sin(i * 0.05));
    samples[count / 2] = peak;
    return samples;
}

float peakOf(const std::vector<float> &samples)
{
    float peak = 0;
    for (float s : samples)
        peak = std::max(peak, std::fabs(s));
    return peak;
}

// Log lines written since `before` lines were there, without their timestamps.
QStringList newLines(qsizetype before)
{
    QStringList lines;
    for (const QString &line : TestSupport::logLines().mid(before))
        lines << line.section(QStringLiteral("] "), 1);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Take::Kind)
Q_DECLARE_METATYPE(std::vector<float>)

class AudioConditioningTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void processDecides_data()
    {
        QTest::addColumn<std::vector<float>>("samples");
        QTest::addColumn<double>("duration");
        QTest::addColumn<Take::Kind>("kind");
        QTest::addColumn<QString>("line");

        QTest::newRow("no samples, long")
            << std::vector<float>{} << 5.0 << Take::Kind::empty << "AudioRecorder: no samples captured";
        QTest::newRow("loud but 0.39 s") << tone(18720, 0.8f) << 0.39 << Take::Kind::tooShort
                                         << "Too short, cancelling";
        QTest::newRow("duration not a number")
            << tone(48000, 0.8f) << std::nan("") << Take::Kind::tooShort << "Too short, cancelling";
        QTest::newRow("peak 0.009") << tone(24000, 0.009f) << 0.5 << Take::Kind::silence
                                    << "AudioRecorder: silence (peak=0.0090), nothing to transcribe";
        QTest::newRow("negative peak 0.009") << constant(24000, -0.009f) << 0.5 << Take::Kind::silence
                                             << "AudioRecorder: silence (peak=0.0090), nothing to transcribe";
        QTest::newRow("peak exactly 0.01")
            << tone(24000, 0.01f) << 0.5 << Take::Kind::audio << "AudioRecorder: final output=8000 samples (0.50s)";
        QTest::newRow("exactly 0.4 s") << tone(19200, 0.5f) << 0.4 << Take::Kind::audio
                                       << "AudioRecorder: final output=6400 samples (0.40s)";
    }

    void processDecides()
    {
        QFETCH(std::vector<float>, samples);
        QFETCH(double, duration);
        QFETCH(Take::Kind, kind);
        QFETCH(QString, line);

        const auto before = TestSupport::logLines().size();
        const Take take = AudioRecorder::process(samples, 48000, duration);
        QCOMPARE(take.kind, kind);
        QVERIFY2(newLines(before).contains(line), qPrintable(newLines(before).join('\n')));
        if (kind != Take::Kind::audio)
            QVERIFY(take.samples.empty());
    }

    void processConditionsAudio()
    {
        // 3.27 s at 48 kHz with peak 0.4: resampled to 16 kHz and raised to 0.95.
        const auto before = TestSupport::logLines().size();
        const Take take = AudioRecorder::process(tone(156960, 0.4f), 48000, 3.27);
        QCOMPARE(take.kind, Take::Kind::audio);
        QCOMPARE(take.samples.size(), size_t(52320));
        QCOMPARE(peakOf(take.samples), 0.95f);
        const QStringList lines = newLines(before);
        QVERIFY(lines.contains("AudioRecorder: normalizing audio, peak=0.4000 gain=2.38"));
        QCOMPARE(lines.last(), QStringLiteral("AudioRecorder: final output=52320 samples (3.27s)"));
    }

    void silenceGuard()
    {
        // The self-test's check: uniform noise within ±0.001 at 48 kHz for one second.
        std::vector<float> noise(48000);
        for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = 0.001f * static_cast<float>(std::sin(i * 12.9898));
        QCOMPARE(AudioRecorder::process(noise, 48000, 1.0).kind, Take::Kind::silence);
    }

    void resampleCounts_data()
    {
        QTest::addColumn<double>("from");
        QTest::addColumn<int>("inputCount");
        QTest::addColumn<int>("outputCount");

        QTest::newRow("48 kHz") << 48000.0 << 48000 << 16000;
        QTest::newRow("44.1 kHz") << 44100.0 << 44100 << 16000;
        QTest::newRow("44.1 kHz, odd count") << 44100.0 << 1000 << static_cast<int>(1000 / 2.75625);
        QTest::newRow("8 kHz upsampled") << 8000.0 << 8000 << 16000;
        QTest::newRow("too few for one output") << 48000.0 << 2 << 0;
    }

    void resampleCounts()
    {
        QFETCH(double, from);
        QFETCH(int, inputCount);
        QFETCH(int, outputCount);
        QCOMPARE(AudioRecorder::resample(tone(inputCount, 0.5f), from, 16000).size(), size_t(outputCount));
    }

    void resamplePicksEveryThirdAt48k()
    {
        std::vector<float> ramp(48000);
        for (size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = static_cast<float>(i % 1000) / 1000.0f;
        const std::vector<float> out = AudioRecorder::resample(ramp, 48000, 16000);
        for (size_t i = 0; i < out.size(); ++i)
            QCOMPARE(out[i], ramp[3 * i]);
    }

    void resampleInterpolatesUpward()
    {
        // 8 kHz to 16 kHz: every second output lies halfway between two inputs; the last
        // one repeats the final input.
        const std::vector<float> out = AudioRecorder::resample({0.0f, 1.0f, -1.0f}, 8000, 16000);
        const std::vector<float> expected{0.0f, 0.5f, 1.0f, 0.0f, -1.0f, -1.0f};
        QCOMPARE(out, expected);
    }

    void resampleSameRateIsUnchanged()
    {
        const std::vector<float> input = tone(1234, 0.3f);
        QCOMPARE(AudioRecorder::resample(input, 16000, 16000), input);
    }

    void normalize_data()
    {
        QTest::addColumn<float>("peak");
        QTest::addColumn<float>("newPeak");
        QTest::addColumn<QString>("line");

        QTest::newRow("0.5") << 0.5f << 0.95f << "AudioRecorder: normalizing audio, peak=0.5000 gain=1.90";
        QTest::newRow("0.02 hits the gain limit")
            << 0.02f << 0.5f << "AudioRecorder: normalizing audio, peak=0.0200 gain=25.00";
        QTest::newRow("0.96 untouched") << 0.96f << 0.96f << QString();
        QTest::newRow("0.95 untouched") << 0.95f << 0.95f << QString();
    }

    void normalize()
    {
        QFETCH(float, peak);
        QFETCH(float, newPeak);
        QFETCH(QString, line);

        std::vector<float> samples = tone(1000, peak);
        const std::vector<float> original = samples;
        const auto before = TestSupport::logLines().size();
        AudioRecorder::normalize(samples);
        QCOMPARE(peakOf(samples), newPeak);
        if (line.isEmpty()) {
            QCOMPARE(samples, original);
            QCOMPARE(newLines(before), QStringList());
        } else {
            QCOMPARE(newLines(before), QStringList{line});
        }
    }

    void meterLevel_data()
    {
        QTest::addColumn<std::vector<float>>("samples");
        QTest::addColumn<float>("level");

        QTest::newRow("-40 dBFS") << constant(1024, 0.01f) << 1.0f / 3.0f;
        QTest::newRow("full scale clamps") << constant(1024, -1.0f) << 1.0f;
        QTest::newRow("-60 dBFS") << constant(1024, 0.001f) << 0.0f;
        QTest::newRow("-10 dBFS") << constant(1024, 0.316227766f) << 1.0f;
        QTest::newRow("zeros") << constant(1024, 0.0f) << 0.0f;
        QTest::newRow("no samples") << std::vector<float>{} << 0.0f;
    }

    void meterLevel()
    {
        QFETCH(std::vector<float>, samples);
        QFETCH(float, level);
        QVERIFY2(std::fabs(AudioRecorder::meterLevel(samples) - level) < 1e-4f,
                 qPrintable(QString::number(AudioRecorder::meterLevel(samples))));
    }

    void mono_data()
    {
        QTest::addColumn<std::vector<float>>("interleaved");
        QTest::addColumn<int>("channels");
        QTest::addColumn<std::vector<float>>("expected");

        QTest::newRow("mono passes through") << std::vector<float>{0.1f, -0.2f} << 1 << std::vector<float>{0.1f, -0.2f};
        QTest::newRow("opposite stereo cancels")
            << std::vector<float>{0.5f, -0.5f, 0.5f, -0.5f} << 2 << std::vector<float>{0.0f, 0.0f};
        QTest::newRow("stereo averages") << std::vector<float>{1.0f, 0.0f, 0.2f, 0.4f} << 2
                                         << std::vector<float>{0.5f, 0.3f};
        QTest::newRow("three channels") << std::vector<float>{0.3f, 0.3f, 0.3f} << 3
                                        << std::vector<float>{0.3f * 3 * (1.0f / 3)};
        QTest::newRow("no channels") << std::vector<float>{0.1f} << 0 << std::vector<float>{};
        QTest::newRow("no frames") << std::vector<float>{} << 2 << std::vector<float>{};
    }

    void mono()
    {
        QFETCH(std::vector<float>, interleaved);
        QFETCH(int, channels);
        QFETCH(std::vector<float>, expected);
        const std::vector<float> out = AudioRecorder::mono(interleaved, channels);
        QCOMPARE(out.size(), expected.size());
        for (size_t i = 0; i < out.size(); ++i)
            QVERIFY(std::fabs(out[i] - expected[i]) < 1e-6f);
    }

    void stopWithoutRecordingIsEmptyAndSilent()
    {
        AudioRecorder recorder;
        const auto before = TestSupport::logLines().size();
        QCOMPARE(recorder.stop().kind, Take::Kind::empty);
        QCOMPARE(recorder.currentLevel(), 0.0f);
        QCOMPARE(newLines(before), QStringList());
    }
};

TALVANE_TEST_MAIN(AudioConditioningTest)
#include "AudioConditioningTest.moc"
