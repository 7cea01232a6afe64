#include "audio/AudioRecorder.h"

#include "platform/Log.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

using Sink = std::function<void(std::span<const float>, int)>;

// What QAudioSource writes into: the raw bytes of the device's own format, turned into
// float frames and handed on block by block (the "tap"). Lives on the capture thread.
class TapDevice : public QIODevice
{
public:
    TapDevice(const QAudioFormat &format, Sink sink) : format(format), sink(std::move(sink)) {}

protected:
    qint64 readData(char *, qint64) override { return -1; }

    qint64 writeData(const char *data, qint64 length) override
    {
        pending.append(data, length);
        const int frameBytes = format.bytesPerFrame();
        const qsizetype frames = pending.size() / frameBytes;
        if (frames == 0)
            return length;
        const int sampleBytes = format.bytesPerSample();
        floats.resize(static_cast<size_t>(frames * format.channelCount()));
        for (size_t i = 0; i < floats.size(); ++i)
            floats[i] = format.normalizedSampleValue(pending.constData() + i * sampleBytes);
        // A partial frame waits for the rest of its bytes in the next delivery.
        pending.remove(0, frames * frameBytes);
        sink(floats, format.channelCount());
        return length;
    }

private:
    const QAudioFormat format;
    const Sink sink;
    QByteArray pending;
    std::vector<float> floats;
};

} // namespace

// One running capture: a thread with its own event loop, which Qt's audio source needs,
// holding the source and its tap. Destroying it stops the capture; no block is delivered
// afterwards.
class AudioRecorder::Capture
{
public:
    Capture(const QAudioDevice &device, const QAudioFormat &format, Sink sink)
    {
        thread.setObjectName(QStringLiteral("AudioRecorder"));
        context.moveToThread(&thread);
        thread.start();
        bool started = false;
        QMetaObject::invokeMethod(
            &context,
            [&] {
                tap = std::make_unique<TapDevice>(format, std::move(sink));
                tap->open(QIODevice::WriteOnly);
                source = std::make_unique<QAudioSource>(device, format);
                // About 1024 frames per block.
                source->setBufferSize(1024 * format.bytesPerFrame());
                source->start(tap.get());
                started = source->error() == QAudio::NoError && source->state() != QAudio::StoppedState;
                if (!started)
                    release();
            },
            Qt::BlockingQueuedConnection);
        if (!started) {
            finish();
            throw RecorderError::startFailed();
        }
    }

    ~Capture()
    {
        QMetaObject::invokeMethod(
            &context, [this] { release(); }, Qt::BlockingQueuedConnection);
        finish();
    }

private:
    void release()
    {
        if (source)
            source->stop();
        source.reset();
        tap.reset();
    }

    void finish()
    {
        thread.quit();
        thread.wait();
    }

    QThread thread;
    QObject context; // lives on `thread`; the capture objects are made and destroyed there
    std::unique_ptr<TapDevice> tap;
    std::unique_ptr<QAudioSource> source;
};

AudioRecorder::AudioRecorder() = default;

AudioRecorder::~AudioRecorder() = default;

void AudioRecorder::start()
{
    stop();
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    const QAudioFormat format = device.preferredFormat();
    if (device.isNull() || !(format.sampleRate() > 0) || format.channelCount() <= 0 || format.bytesPerFrame() <= 0)
        throw RecorderError::noInputDevice();
    sourceRate = format.sampleRate();
    Log::info(
        QStringLiteral("AudioRecorder: native format sr=%1 ch=%2").arg(format.sampleRate()).arg(format.channelCount()));
    {
        std::lock_guard guard(lock);
        samples.clear();
        level = 0;
    }
    firstBufferLogged = false;
    startedAt = std::chrono::steady_clock::now();
    engine = std::make_unique<Capture>(
        device, format, [this](std::span<const float> block, int channels) { consume(block, channels); });
    Log::info(QStringLiteral("AudioRecorder: started"));
}

Take AudioRecorder::stop()
{
    if (!engine)
        return Take::of(Take::Kind::empty);
    engine.reset();
    const std::chrono::duration<double> duration = std::chrono::steady_clock::now() - startedAt;
    std::vector<float> copy;
    {
        std::lock_guard guard(lock);
        copy = samples;
    }
    Log::info(QStringLiteral("AudioRecorder: raw samples=%1 duration=%2ms")
             .arg(copy.size())
             .arg(static_cast<qint64>(duration.count() * 1000)));
    return process(std::move(copy), sourceRate, duration.count());
}

float AudioRecorder::currentLevel() const
{
    std::lock_guard guard(lock);
    return level;
}

void AudioRecorder::clearSamples()
{
    std::lock_guard guard(lock);
    samples.clear();
}

void AudioRecorder::consume(std::span<const float> interleaved, int channels)
{
    if (!firstBufferLogged) {
        firstBufferLogged = true;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt);
        Log::info(QStringLiteral("AudioRecorder: first buffer after %1ms").arg(elapsed.count()));
    }
    const std::vector<float> block = mono(interleaved, channels);
    if (block.empty())
        return;
    const float blockLevel = meterLevel(block);
    std::lock_guard guard(lock);
    samples.insert(samples.end(), block.begin(), block.end());
    level = blockLevel;
}

Take AudioRecorder::process(std::vector<float> samples, double sourceRate, double duration)
{
    if (samples.empty()) {
        Log::info(QStringLiteral("AudioRecorder: no samples captured"));
        return Take::of(Take::Kind::empty);
    }
    if (!(duration >= minimumDuration)) {
        Log::info(QStringLiteral("Too short, cancelling"));
        return Take::of(Take::Kind::tooShort);
    }
    const float peak = peakOf(samples);
    if (peak < silencePeak) {
        Log::info(QString::asprintf("AudioRecorder: silence (peak=%.4f), nothing to transcribe", peak));
        return Take::of(Take::Kind::silence);
    }
    std::vector<float> out = resample(samples, sourceRate, outputRate);
    normalize(out);
    Log::info(QString::asprintf("AudioRecorder: final output=%zu samples (%.2fs)", out.size(), out.size() / outputRate));
    return Take::audio(std::move(out));
}

std::vector<float> AudioRecorder::resample(const std::vector<float> &samples, double from, double to)
{
    if (from == to)
        return samples;
    const double ratio = from / to;
    if (!(ratio > 0) || std::isinf(ratio))
        return {};
    const auto outCount = static_cast<size_t>(samples.size() / ratio);
    std::vector<float> out(outCount);
    const size_t last = samples.size() - 1;
    for (size_t i = 0; i < outCount; ++i) {
        const double pos = ratio * i;
        const auto i0 = static_cast<size_t>(pos);
        const size_t i1 = std::min(i0 + 1, last);
        const auto frac = static_cast<float>(pos - i0);
        out[i] = (1 - frac) * samples[i0] + samples[i1] * frac;
    }
    return out;
}

void AudioRecorder::normalize(std::vector<float> &samples)
{
    const float peak = peakOf(samples);
    if (!samples.empty() && peak >= targetPeak)
        return;
    const float gain = std::min(targetPeak / peak, maximumGain);
    Log::info(QString::asprintf("AudioRecorder: normalizing audio, peak=%.4f gain=%.2f", peak, gain));
    for (float &s : samples)
        s *= gain;
}

std::vector<float> AudioRecorder::mono(std::span<const float> interleaved, int channels)
{
    if (channels <= 0 || interleaved.size() < static_cast<size_t>(channels))
        return {};
    const size_t frames = interleaved.size() / channels;
    std::vector<float> out(frames, 0.0f);
    for (int k = 0; k < channels; ++k)
        for (size_t i = 0; i < frames; ++i)
            out[i] += interleaved[i * channels + k];
    if (channels >= 2) {
        const float scale = 1.0f / static_cast<float>(channels);
        for (float &s : out)
            s *= scale;
    }
    return out;
}

float AudioRecorder::peakOf(std::span<const float> samples)
{
    float peak = 0;
    for (float s : samples)
        peak = std::max(peak, std::fabs(s));
    return peak;
}

float AudioRecorder::meterLevel(std::span<const float> samples)
{
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    const double rms = std::sqrt(sum / static_cast<double>(samples.size()));
    if (!(rms >= 1e-7))
        return 0;
    const auto db = static_cast<float>(20 * std::log10(rms));
    return std::clamp((db + 55) / 45, 0.0f, 1.0f);
}

namespace {

struct SoundFileCloser
{
    void operator()(SNDFILE *file) const { sf_close(file); }
};

QString openFailure(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("файл не найден");
    if (file.isDir())
        return QStringLiteral("это папка, а не файл");
    if (!file.isReadable())
        return QStringLiteral("нет доступа к файлу");
    if (file.size() == 0)
        return QStringLiteral("файл пуст");
    switch (sf_error(nullptr)) {
    case SF_ERR_UNRECOGNISED_FORMAT: return QStringLiteral("это не аудиофайл или его формат не поддерживается");
    case SF_ERR_UNSUPPORTED_ENCODING: return QStringLiteral("кодировка звука не поддерживается");
    default: return QStringLiteral("файл повреждён или это не аудиофайл");
    }
}

} // namespace

LoadedAudio AudioRecorder::loadFile(const QString &path)
{
    SF_INFO format{};
    std::unique_ptr<SNDFILE, SoundFileCloser> file(sf_open(QFile::encodeName(path).constData(), SFM_READ, &format));
    if (!file)
        throw RecorderError::unreadableFile(openFailure(path));
    if (format.channels <= 0 || format.samplerate <= 0)
        throw RecorderError::unreadableFile(QStringLiteral("файл повреждён"));
    if (format.samplerate < lowestFileRate)
        throw RecorderError::unreadableFile(
            QStringLiteral("частота дискретизации %1 Гц не поддерживается").arg(format.samplerate));

    // Read in blocks: the whole file never needs one buffer of its frame count.
    constexpr sf_count_t blockFrames = 65536;
    std::vector<float> block(static_cast<size_t>(blockFrames * format.channels));
    LoadedAudio audio{{}, static_cast<double>(format.samplerate)};
    // A file of unknown length (a cut Ogg stream) reports a huge frame count.
    constexpr sf_count_t reserveLimit = sf_count_t(1) << 27;
    if (format.frames > 0 && format.frames < reserveLimit)
        audio.samples.reserve(static_cast<size_t>(format.frames));
    sf_count_t read = 0;
    while ((read = sf_readf_float(file.get(), block.data(), blockFrames)) > 0) {
        const std::vector<float> part =
            mono(std::span(block).first(static_cast<size_t>(read * format.channels)), format.channels);
        audio.samples.insert(audio.samples.end(), part.begin(), part.end());
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        // A damaged tail keeps what was readable; a file with nothing readable is an error.
        if (audio.samples.empty())
            throw RecorderError::unreadableFile(QStringLiteral("файл повреждён"));
        Log::info(QStringLiteral("AudioRecorder: file damaged, read %1 of %2 frames")
                 .arg(audio.samples.size())
                 .arg(format.frames));
    }
    return audio;
}
