#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>
#include <QThreadPool>

#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

struct whisper_context;

// The cancel request for a running recognition, shared by the engine, its owner (which
// sets it) and whisper's worker threads (which poll it).
class AbortFlag
{
public:
    void set(bool abort)
    {
        std::lock_guard guard(lock);
        value = abort;
    }
    bool get() const
    {
        std::lock_guard guard(lock);
        return value;
    }

private:
    mutable std::mutex lock;
    bool value = false;
};

// Local speech recognition with a whisper model file. Every whisper call runs on one
// serial worker thread, in the order asked; the coroutines suspend their caller meanwhile.
// Errors are EngineError; a recognition cancelled through abortFlag() throws Cancelled.
class TranscriptionEngine
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
    ~TranscriptionEngine(); // waits for queued work, then frees the model
    TranscriptionEngine(const TranscriptionEngine &) = delete;
    TranscriptionEngine &operator=(const TranscriptionEngine &) = delete;

    // Loads the model file (checked first); `name` becomes loadedModel(). A failed load
    // leaves no model loaded and throws EngineError::loadFailed.
    QCoro::Task<void> load(QString path, QString name);
    // Recognises 16 kHz mono samples; `language` is a whisper code or "auto", `prompt`
    // the initial prompt (blank: none). Returns the cleaned text, possibly empty.
    QCoro::Task<QString> transcribe(std::vector<float> samples, QString language, QString prompt);
    // Releases the model once the work queued before it is done; returns at once.
    void unload();
    // Downloads a model file to `to` (see ModelDownloader); `progress` gets whole percents.
    static QCoro::Task<void> download(QUrl from, QString to, std::function<void(int)> progress);

    bool isLoaded() const;
    std::optional<QString> loadedModel() const;
    AbortFlag &abortFlag() { return abort; }

    // Threads whisper uses for one recognition (default: threadCountFor the machine).
    void setThreadCount(int count) { threads = count; }
    // One processor is left to the rest of the system; at least 1, at most 8.
    static int threadCountFor(int activeProcessors);

    // The text of a result: segments judged non-speech dropped, the rest joined as bytes,
    // noise markers removed, line feeds made spaces, trimmed. Logs its decisions.
    static QString textOf(std::span<const Segment> segments);

private:
    struct Outcome;

    bool loadOnWorker(const QString &path, const QString &name);
    Outcome transcribeOnWorker(const std::vector<float> &samples, const QString &language, const QString &prompt);
    void freeOnWorker();

    QThreadPool queue;
    AbortFlag abort;
    int threads;

    mutable std::mutex stateLock; // written on the worker, read by the owner
    whisper_context *context = nullptr;
    std::optional<QString> model;
};
