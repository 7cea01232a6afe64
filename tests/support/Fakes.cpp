#include "Fakes.h"

namespace {

// A turn of the event loop, as the real components take at least one; more while `held`.
QCoro::Task<> aTurn(const bool *held = nullptr)
{
    do
        co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    while (held && *held);
}

template <class Port> struct Fake : Port
{
    Script &s;
    explicit Fake(Script &s) : s(s) {}
};

struct FakeRecorder : Fake<Recorder>
{
    using Fake::Fake;
    void start() override
    {
        if (++s.starts && s.startThrows)
            throw DescribedError(QStringLiteral("нет микрофона"));
    }
    Take stop() override { return s.take; }
    void clearSamples() override { ++s.clears; }
    float currentLevel() const override { return 0.25f; }
    MicrophoneAccess access() override { return s.access; }
    void requestAccess(std::function<void(bool)> answered) override { ++s.accessRequests, answered(true); }
};

struct FakeEngine : Fake<LocalEngine>
{
    using Fake::Fake;
    bool isLoaded() const override { return s.loaded; }
    std::optional<QString> loadedModel() const override
    {
        return s.loaded ? std::optional(s.loadedName) : std::nullopt;
    }
    QCoro::Task<> load(QString file, QString name, bool) override
    {
        co_await aTurn();
        // Only a file the fake download wrote is sure to load.
        QFile model(file);
        if (s.loadError && !(model.open(QIODevice::ReadOnly) && model.readAll() == "model"))
            std::rethrow_exception(s.loadError);
        s.loaded = true, s.loadedName = name;
    }
    void unload() override { ++s.unloads, s.loaded = false; }
    QCoro::Task<QString> transcribe(std::vector<float>, QString language, QString prompt) override
    {
        ++s.transcribes, s.aborted = false; // each recognition starts with a cleared request
        std::tie(s.lastLanguage, s.lastPrompt) = std::tie(language, prompt);
        co_await aTurn(&s.holdLocal);
        if (s.aborted)
            throw Cancelled();
        if (s.localError)
            std::rethrow_exception(s.localError);
        co_return s.localText;
    }
    void abort() override { s.aborted = true; }
};

struct FakeCloud : Fake<CloudRecognizer>
{
    using Fake::Fake;
    QCoro::Task<QString> transcribe(std::vector<float>, RemoteEndpoint endpoint, QString language,
                                    QString prompt) override
    {
        ++s.cloudCalls, s.lastEndpoint = endpoint;
        std::tie(s.lastLanguage, s.lastPrompt) = std::tie(language, prompt);
        co_await aTurn(&s.holdCloud);
        if (s.cloudCancelled)
            throw Cancelled();
        if (s.cloudError)
            std::rethrow_exception(s.cloudError);
        co_return s.cloudText;
    }
    void cancel() override { s.cloudCancelled = true, s.holdCloud = false; }
};

struct FakeKeys : Fake<CloudKeyProvider>
{
    using Fake::Fake;
    CloudAccess current() const override
    {
        const CloudAccess now{s.key, s.serviceUrl};
        if (s.keyFileEdit)
            std::tie(s.key, s.serviceUrl) = *std::exchange(s.keyFileEdit, std::nullopt);
        return now;
    }
    QCoro::Task<bool> fetch() override
    {
        co_await aTurn();
        s.key = s.fetchSucceeds ? QStringLiteral("fetched-key") : s.key;
        co_return s.fetchSucceeds;
    }
    bool unreachable() const override { return s.unreachable; }
};

struct FakePaster : Fake<Paster>
{
    using Fake::Fake;
    std::optional<RunningApp> captureTarget() override { return s.front; }
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override
    {
        s.pasted << text, s.pastedTo = target, s.pastedWithAutoPaste = autoPaste;
        co_await aTurn(&s.holdPaste);
        co_return s.pasteResult;
    }
    bool copy(const QString &text) override { return s.copied << text, s.copyWorks; }
    void requestAccessibilityIfNeeded() override { ++s.accessibilityRequests; }
    void putBack() override {}
};

struct FakeOverlay : Fake<Overlay>
{
    using Fake::Fake;
    void show(OverlayMode mode, std::optional<qint64> pid) override
    {
        s.overlay << QStringLiteral("show %1 %2")
                         .arg(mode == OverlayMode::recording ? "recording" : "transcribing")
                         .arg(pid ? QString::number(*pid) : QStringLiteral("-"));
    }
    void hide() override { s.overlay << QStringLiteral("hide"); }
    void setLevelSource(std::function<float()> source) override { s.levelSource = std::move(source); }
};

} // namespace

AppState::Collaborators collaboratorsFor(Script &s)
{
    // The download reports and ends in the same turn of the event loop, as a fast transfer does.
    auto download = [&s](QUrl, QString to, std::function<void(int)> progress,
                         std::shared_ptr<CancelToken> cancel) -> QCoro::Task<> {
        ++s.downloads;
        for (int percent : s.downloadPercents)
            progress(percent);
        if (s.holdDownload)
            co_await aTurn(&s.holdDownload);
        if (cancel->isCancelled())
            throw Cancelled();
        if (s.downloadError)
            std::rethrow_exception(s.downloadError);
        QFile file(to);
        if (file.open(QIODevice::WriteOnly))
            file.write("model");
    };
    return {std::make_unique<FakeRecorder>(s),
            std::make_unique<FakeEngine>(s),
            std::make_unique<FakeCloud>(s),
            std::make_unique<FakeKeys>(s),
            std::make_unique<FakePaster>(s),
            std::make_unique<FakeOverlay>(s),
            download};
}
