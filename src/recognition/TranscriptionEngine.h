#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

struct whisper_context;
struct whisper_full_params;

// What the dictation controller needs of the local recogniser; tests drive it with a double.
class LocalEngine
{
public:
    virtual ~LocalEngine() = default;
    virtual bool isLoaded() const = 0;
    virtual std::optional<QString> loadedModel() const = 0;
    // Throws EngineError when the file will not load. `gpu`: on the graphics card when one
    // is there, else on the processor.
    virtual QCoro::Task<> load(QString file, QString name, bool gpu) = 0;
    virtual void unload() = 0;
    // Throws Cancelled after abort(), EngineError on failure.
    virtual QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt) = 0;
    // Asks the recognitions asked for so far to stop; later ones run.
    virtual void abort() = 0;
};

// Local speech recognition with a whisper model file. Every whisper call runs on one
// serial worker thread, in the order asked; the coroutines suspend their caller meanwhile.
// Errors are EngineError; a recognition cancelled through abort() throws Cancelled.
class TranscriptionEngine : public LocalEngine
{
public:
    static constexpr float noSpeechLimit = 0.6f;

    // One segment of whisper's result; `text` may be null.
    struct Segment
    {
        const char *text;
        float noSpeech;
    };

    TranscriptionEngine();
    ~TranscriptionEngine() override; // waits for queued work, then frees the model
    TranscriptionEngine(const TranscriptionEngine &) = delete;
    TranscriptionEngine &operator=(const TranscriptionEngine &) = delete;

    // Loads the model file (checked first); `name` becomes loadedModel(). With `gpu`, on the
    // first graphics card ggml's Vulkan module finds; when there is none, or the model does
    // not load there, on the processor (logged). A failed load leaves no model loaded and
    // throws EngineError::loadFailed.
    QCoro::Task<void> load(QString path, QString name, bool gpu) override;
    // Recognises 16 kHz mono samples; `language` is a whisper code or "auto", `prompt`
    // the initial prompt (blank: none). Returns the cleaned text, possibly empty.
    QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt) override;
    // Releases the model once the work queued before it is done; returns at once.
    void unload() override;

    // Cancels every recognition asked for so far, running or still queued; later ones run.
    void abort() override { aborts.fetch_add(1); }

    bool isLoaded() const override;
    std::optional<QString> loadedModel() const override;
    // Where the loaded model runs: "Vulkan: <device>" or "CPU"; empty with no model.
    QString device() const;

    // Threads whisper uses for one recognition (default: threadCountFor the machine).
    void setThreadCount(int count) { threads = count; }
    // One processor is left to the rest of the system; at least 1, at most 8.
    static int threadCountFor(int activeProcessors);

    // Loads whisper's processor modules once per process: ggml ships one per instruction-set
    // level and keeps the best this processor runs. False (logged) when no module loads;
    // no model can load then.
    static bool loadModules();

    // The text of a result: segments judged non-speech dropped, the rest joined as bytes,
    // noise markers removed, line feeds made spaces, trimmed. Logs its decisions.
    static QString textOf(std::span<const Segment> segments);

private:
    struct Outcome;
    struct Job;

    bool loadOnWorker(const QString &path, const QString &name, bool gpu);
    whisper_context *initOnWorker(const QString &path, bool gpu);
    int runOnWorker(whisper_context *ctx, const whisper_full_params &params, const std::vector<float> &samples);
    Outcome transcribeOnWorker(const Job &job, const std::vector<float> &samples, const QString &language,
                               const QString &prompt);
    void freeOnWorker();

    QThreadPool queue;
    // Counts abort() calls: a recognition is cancelled once the count has moved past the
    // value it was asked under, so a later recognition can never undo an earlier cancel.
    std::atomic<quint64> aborts{0};
    std::atomic<int> threads; // set by the owner, read on the worker

    mutable std::mutex stateLock; // written on the worker, read by the owner
    whisper_context *context = nullptr;
    std::optional<QString> model;
    QString path;       // of the loaded model, to load it again on the processor
    QString gpuDevice;  // the graphics card it runs on; empty: the processor
};
