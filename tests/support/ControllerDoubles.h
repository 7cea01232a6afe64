#pragma once

#include "FakeDesktop.h"
#include "dictation/AppState.h"
#include "dictation/Ports.h"
#include "platform/Errors.h"

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>
#include <QFile>
#include <QObject>

#include <deque>
#include <tuple>
#include <utility>
#include <exception>
#include <memory>

// Test doubles for the dictation controller's collaborators. Each records what it was
// asked and answers what the test scripted; a Gate holds an asynchronous answer back
// until the test opens it.

class Gate : public QObject
{
    Q_OBJECT
public:
    void open()
    {
        isOpen = true;
        Q_EMIT opened();
    }
    QCoro::Task<> wait()
    {
        if (!isOpen)
            co_await qCoro(this, &Gate::opened);
    }
    bool isOpen = false;
Q_SIGNALS:
    void opened();
};

// Everything a test scripts and observes, shared with the doubles (which the controller owns).
struct Script
{
    // recorder
    bool startThrows = false;
    Take take = Take::audio(std::vector<float>(16000, 0.5f));
    int starts = 0, stops = 0, clears = 0;
    float level = 0.25f;
    // microphone
    Dictation::MicrophoneAccess access = Dictation::MicrophoneAccess::authorized;
    int accessRequests = 0;
    // engine
    bool loaded = true;
    QString loadedName = QStringLiteral("large-v3-turbo");
    QString localText = QStringLiteral("привет мир");
    std::exception_ptr localError;
    std::shared_ptr<Gate> localGate;
    bool aborted = false;
    int transcribes = 0, unloads = 0, loads = 0, downloads = 0;
    QString lastLanguage, lastPrompt;
    std::exception_ptr loadError, downloadError;
    std::vector<int> downloadPercents;
    std::shared_ptr<Gate> downloadGate;
    // cloud
    QString cloudText = QStringLiteral("облачный текст");
    std::exception_ptr cloudError;
    std::shared_ptr<Gate> cloudGate;
    bool cloudCancelled = false;
    int cloudCalls = 0;
    RemoteEndpoint lastEndpoint;
    // keys
    QString key = QStringLiteral("  device-key\n");
    QUrl serviceUrl = QUrl(QStringLiteral("https://cloud.example.test/base"));
    std::optional<std::pair<QString, QUrl>> keyFileEdit;
    bool fetchSucceeds = true, unreachable = false;
    int fetches = 0;
    // paster
    std::optional<RunningApp> front = RunningApp{4242, QStringLiteral("Gedit"), 77};
    PasteResult pasteResult = PasteResult::pasted;
    std::shared_ptr<Gate> pasteGate;
    QStringList pasted;
    std::optional<RunningApp> pastedTo;
    bool pastedWithAutoPaste = true;
    int captures = 0;
    // cleaner
    std::function<QString(const QString &)> clean = [](const QString &t) { return t.toUpper(); };
    // overlay
    QStringList overlay; // "show recording 4242", "show transcribing -", "hide"
    std::function<float()> levelSource;
};

struct FakeRecorder : Dictation::Recorder
{
    explicit FakeRecorder(Script &s) : s(s) {}
    void start() override
    {
        ++s.starts;
        if (s.startThrows)
            throw DescribedError(QStringLiteral("нет микрофона"));
    }
    Take stop() override
    {
        ++s.stops;
        return s.take;
    }
    void clearSamples() override { ++s.clears; }
    float currentLevel() override { return s.level; }
    Script &s;
};

struct FakeMicrophone : Dictation::Microphone
{
    explicit FakeMicrophone(Script &s) : s(s) {}
    Dictation::MicrophoneAccess access() override { return s.access; }
    void requestAccess(std::function<void(bool)> answered) override
    {
        ++s.accessRequests;
        answered(true);
    }
    Script &s;
};

struct FakeEngine : Dictation::LocalEngine
{
    explicit FakeEngine(Script &s) : s(s) {}
    bool isLoaded() const override { return s.loaded; }
    std::optional<QString> loadedModel() const override
    {
        return s.loaded ? std::optional<QString>(s.loadedName) : std::nullopt;
    }
    QCoro::Task<> load(QString file, QString name) override
    {
        ++s.loads;
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        // Only a file this double downloaded is sure to load.
        QFile model(file);
        if (s.loadError && !(model.open(QIODevice::ReadOnly) && model.readAll() == "model"))
            std::rethrow_exception(s.loadError);
        s.loaded = true;
        s.loadedName = name;
    }
    void unload() override
    {
        ++s.unloads;
        s.loaded = false;
    }
    QCoro::Task<QString> transcribe(std::vector<float>, QString language, QString prompt) override
    {
        ++s.transcribes;
        s.aborted = false; // each recognition starts with a cleared flag
        s.lastLanguage = language;
        s.lastPrompt = prompt;
        if (s.localGate)
            co_await s.localGate->wait();
        else
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        if (s.aborted)
            throw Cancelled();
        if (s.localError)
            std::rethrow_exception(s.localError);
        co_return s.localText;
    }
    void abort() override { s.aborted = true; }
    QCoro::Task<> download(QUrl, QString to, std::function<void(int)> progress) override
    {
        ++s.downloads;
        // Reports and the end come in the same turn of the event loop, as a fast transfer's do.
        for (int p : s.downloadPercents)
            progress(p);
        if (s.downloadGate)
            co_await s.downloadGate->wait();
        if (s.downloadError)
            std::rethrow_exception(s.downloadError);
        QFile file(to);
        if (file.open(QIODevice::WriteOnly))
            file.write("model");
    }
    Script &s;
};

struct FakeCloud : Dictation::CloudRecognizer
{
    explicit FakeCloud(Script &s) : s(s) {}
    QCoro::Task<QString> transcribe(std::vector<float>, RemoteEndpoint endpoint, QString language,
                                    QString prompt) override
    {
        ++s.cloudCalls;
        s.lastEndpoint = endpoint;
        s.lastLanguage = language;
        s.lastPrompt = prompt;
        if (s.cloudGate)
            co_await s.cloudGate->wait();
        else
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        if (s.cloudCancelled)
            throw Cancelled();
        if (s.cloudError)
            std::rethrow_exception(s.cloudError);
        co_return s.cloudText;
    }
    void cancel() override
    {
        s.cloudCancelled = true;
        if (s.cloudGate)
            s.cloudGate->open();
    }
    Script &s;
};

struct FakeKeys : CloudKeyProvider
{
    explicit FakeKeys(Script &s) : s(s) {}
    CloudAccess current() const override
    {
        const CloudAccess now{s.key, s.serviceUrl};
        if (s.keyFileEdit) // the user saves an edit right after this read
            std::tie(s.key, s.serviceUrl) = *std::exchange(s.keyFileEdit, std::nullopt);
        return now;
    }
    QCoro::Task<bool> fetch() override
    {
        ++s.fetches;
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
        if (s.fetchSucceeds)
            s.key = QStringLiteral("fetched-key");
        co_return s.fetchSucceeds;
    }
    bool unreachable() const override { return s.unreachable; }
    Script &s;
};

struct FakePaster : Dictation::Paster
{
    explicit FakePaster(Script &s) : s(s) {}
    std::optional<RunningApp> captureTarget() override
    {
        ++s.captures;
        return s.front;
    }
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override
    {
        s.pasted << text;
        s.pastedTo = target;
        s.pastedWithAutoPaste = autoPaste;
        if (s.pasteGate)
            co_await s.pasteGate->wait();
        co_return s.pasteResult;
    }
    Script &s;
};

struct FakeCleaner : Dictation::Cleaner
{
    explicit FakeCleaner(Script &s) : s(s) {}
    QString clean(const QString &text) const override { return s.clean(text); }
    Script &s;
};

struct FakeOverlay : Dictation::Overlay
{
    explicit FakeOverlay(Script &s) : s(s) {}
    void show(OverlayMode mode, std::optional<qint64> pid) override
    {
        s.overlay << QStringLiteral("show %1 %2")
                         .arg(mode == OverlayMode::recording ? "recording" : "transcribing")
                         .arg(pid ? QString::number(*pid) : QStringLiteral("-"));
    }
    void hide() override { s.overlay << QStringLiteral("hide"); }
    void setLevelSource(std::function<float()> source) override { s.levelSource = std::move(source); }
    Script &s;
};

// A controller's collaborators answering from `s`; the clipboard is a FakeClipboard, handed
// out through `clipboard` when asked for.
inline AppState::Collaborators collaboratorsFor(Script &s, FakeClipboard **clipboard = nullptr)
{
    AppState::Collaborators c;
    c.recorder = std::make_unique<FakeRecorder>(s);
    c.microphone = std::make_unique<FakeMicrophone>(s);
    c.engine = std::make_unique<FakeEngine>(s);
    c.cloud = std::make_unique<FakeCloud>(s);
    c.keys = std::make_unique<FakeKeys>(s);
    c.paster = std::make_unique<FakePaster>(s);
    c.cleaner = std::make_unique<FakeCleaner>(s);
    c.overlay = std::make_unique<FakeOverlay>(s);
    auto fake = std::make_unique<FakeClipboard>();
    if (clipboard)
        *clipboard = fake.get();
    c.clipboard = std::move(fake);
    return c;
}
