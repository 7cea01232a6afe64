#pragma once

#include "platform/Errors.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

// Failures of the recorder: no usable microphone, a capture that does not start, an audio
// file that cannot be read.
class RecorderError : public DescribedError
{
public:
    enum class Kind { noInputDevice, startFailed, unreadableFile };

    static RecorderError noInputDevice() { return {Kind::noInputDevice, QStringLiteral("нет микрофона")}; }
    static RecorderError startFailed() { return {Kind::startFailed, QStringLiteral("не удалось включить микрофон")}; }
    // `reason` completes the sentence for the user, e.g. "файл не найден"; empty when
    // nothing more is known.
    static RecorderError unreadableFile(const QString &reason = {})
    {
        QString text = QStringLiteral("не удалось прочитать аудиофайл");
        if (!reason.isEmpty())
            text += QStringLiteral(": ") + reason;
        return {Kind::unreadableFile, text};
    }

    Kind kind() const { return which; }

private:
    RecorderError(Kind kind, QString description) : DescribedError(std::move(description)), which(kind) {}
    Kind which;
};

// The outcome of a recording: 16 kHz normalised mono samples, or why there is nothing to
// recognise.
struct Take
{
    enum class Kind { audio, empty, tooShort, silence };

    Kind kind = Kind::empty;
    std::vector<float> samples; // only for audio

    static Take audio(std::vector<float> samples) { return {Kind::audio, std::move(samples)}; }
    static Take of(Kind kind) { return {kind, {}}; }
};

// An audio file's samples mixed down to mono, at the file's own rate.
struct LoadedAudio
{
    std::vector<float> samples;
    double rate = 0;
};

enum class MicrophoneAccess { authorized, notDetermined, denied };

// What the dictation controller needs of a recorder; tests drive the controller with a double.
class Recorder
{
public:
    virtual ~Recorder() = default;
    virtual void start() = 0;        // throws DescribedError when the microphone cannot be opened
    virtual Take stop() = 0;         // Take::Kind::empty when nothing was recording
    virtual void clearSamples() = 0; // drops what a cancelled recording captured
    virtual float currentLevel() const = 0;
    virtual MicrophoneAccess access() = 0;
    // Asks the user; `answered` may be called on any thread.
    virtual void requestAccess(std::function<void(bool granted)> answered) = 0;
};

// Records the default input for one dictation and conditions the recording into what the
// recognisers take: mono float samples at 16 kHz, normalised, or a reason not to recognise.
// start() and stop() belong to one thread (the GUI thread); the capture runs on a thread of
// its own and shares the samples and the level under `lock`.
class AudioRecorder : public Recorder
{
public:
    static constexpr double outputRate = 16000;
    static constexpr double minimumDuration = 0.4; // seconds
    static constexpr float silencePeak = 0.01f;
    static constexpr float targetPeak = 0.95f;
    static constexpr float maximumGain = 25;
    // Files below this rate are refused: conditioning multiplies their samples by
    // 16,000 / rate, and a small file claiming 1 Hz would need gigabytes.
    static constexpr int lowestFileRate = 4000;

    AudioRecorder();
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder &) = delete;
    AudioRecorder &operator=(const AudioRecorder &) = delete;

    // Ends a running recording (discarding its take), then records the default input.
    // Throws RecorderError when there is no usable input or it cannot be opened.
    void start() override;
    // Ends the recording and conditions it; empty when nothing was recording.
    Take stop() override;
    bool isRecording() const { return engine != nullptr; }

    // The meter level (0…1) of the most recent block; callable from any thread.
    float currentLevel() const override;
    // Forgets the samples recorded so far (a cancelled dictation); any thread.
    void clearSamples() override;
    // Linux asks no permission for the microphone.
    MicrophoneAccess access() override { return MicrophoneAccess::authorized; }
    void requestAccess(std::function<void(bool)> answered) override { answered(true); }

    // The stop-time decision and conditioning of mono samples at `sourceRate` that took
    // `duration` seconds.
    static Take process(std::vector<float> samples, double sourceRate, double duration);
    // Linear interpolation, no filtering.
    static std::vector<float> resample(const std::vector<float> &samples, double from, double to);
    // Raises the peak to 0.95 with a gain of at most 25; louder input is left alone.
    static void normalize(std::vector<float> &samples);
    // Averages interleaved frames of `channels` channels into one.
    static std::vector<float> mono(std::span<const float> interleaved, int channels);
    // RMS level in dBFS mapped linearly from -55…-10 onto 0…1.
    static float meterLevel(std::span<const float> samples);
    // The largest absolute sample value.
    static float peakOf(std::span<const float> samples);
    // Reads a whole audio file (anything libsndfile reads: WAV, FLAC, Ogg, MP3) into mono
    // samples. Throws RecorderError::unreadableFile.
    static LoadedAudio loadFile(const QString &path);

private:
    class Capture;

    void consume(std::span<const float> interleaved, int channels); // on the capture thread

    mutable std::mutex lock;
    std::vector<float> samples;
    float level = 0;

    std::unique_ptr<Capture> engine;
    double sourceRate = 48000;
    std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
    // Written by start() before the capture begins, then only by the capture thread.
    bool firstBufferLogged = false;
};
