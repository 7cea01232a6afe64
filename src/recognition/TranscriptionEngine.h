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

// Local speech recognition with a whisper model file. Every whisper call runs on one
// serial worker thread, in the order asked; the coroutines suspend their caller meanwhile.
// Errors are EngineError; a recognition cancelled through abort() throws Cancelled.
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

    // Cancels every recognition asked for so far, running or still queued; later ones run.
    void abort() { aborts.fetch_add(1); }

    bool isLoaded() const;
    std::optional<QString> loadedModel() const;

    // Threads whisper uses for one recognition (default: threadCountFor the machine).
    void setThreadCount(int count) { threads = count; }
    // One processor is left to the rest of the system; at least 1, at most 8.
    static int threadCountFor(int activeProcessors);

    // The text of a result: segments judged non-speech dropped, the rest joined as bytes,
    // noise markers removed, line feeds made spaces, trimmed. Logs its decisions.
    static QString textOf(std::span<const Segment> segments);

private:
    struct Outcome;
    struct Job;

    bool loadOnWorker(const QString &path, const QString &name);
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
};
