#include "Fakes.h"

#include <QCoro/QCoroTimer>

#include <algorithm>

using std::chrono::milliseconds;

bool FakeClipboard::setText(const QString &text, bool transient)
{
    if (!setTextWorks)
        return false;
    items = {ClipboardItem{{QStringLiteral("text/plain"), text.toUtf8()}}};
    lastWriteTransient = transient;
    ++changes;
    return true;
}

QCoro::Task<ClipboardSnapshot> FakeClipboard::snapshot(milliseconds, qint64 byteLimit) const
{
    ClipboardSnapshot result;
    for (const ClipboardItem &item : items) {
        ClipboardItem kept;
        for (const auto &[type, bytes] : item) {
            if (bytes.size() > byteLimit)
                result.tooLarge.append({type, bytes.size()});
            else
                kept.append({type, bytes});
        }
        result.items.append(kept);
    }
    co_return result;
}

bool FakeClipboard::write(const QList<ClipboardItem> &newItems)
{
    if (!writeWorks)
        return false;
    items = newItems;
    lastWriteTransient = false;
    ++changes;
    return true;
}

QString FakeClipboard::text() const
{
    for (const auto &[type, bytes] : items.value(0))
        if (type == QLatin1String("text/plain"))
            return QString::fromUtf8(bytes);
    return {};
}

void FakeWorkspace::activate(const RunningApp &app)
{
    activations.push_back(app);
    if (activationWorks)
        front = app;
}

void FakeKeySender::postPaste(const RunningApp &target)
{
    pastes.push_back(target);
    if (onPaste)
        onPaste();
}

int FakeHotkeyBackend::registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    if (std::count(taken.begin(), taken.end(), std::pair(key, modifiers)))
        return HotkeyBackend::taken;
    registered[id] = {key, modifiers};
    return 0;
}

bool FakeHotkeyBackend::press(int id)
{
    if (!registered.count(id) || !pressed)
        return false;
    pressed(id);
    return true;
}

FakeClock::~FakeClock()
{
    while (!sleepers.empty())
        advance(std::max_element(sleepers.begin(), sleepers.end())->first - now);
}

QCoro::Task<> FakeClock::sleep(milliseconds duration)
{
    requested.push_back(duration);
    struct Suspension
    {
        FakeClock *clock;
        milliseconds deadline;
        bool await_ready() const noexcept { return deadline <= clock->now; }
        void await_suspend(std::coroutine_handle<> coroutine) { clock->sleepers.push_back({deadline, coroutine}); }
        void await_resume() const noexcept {}
    };
    co_await Suspension{this, now + duration};
}

void FakeClock::advance(milliseconds duration)
{
    const milliseconds until = now + duration;
    for (;;) {
        const auto next = std::min_element(sleepers.begin(), sleepers.end(),
                                           [](const auto &a, const auto &b) { return a.first < b.first; });
        if (next == sleepers.end() || next->first > until)
            break;
        const auto [deadline, coroutine] = *next;
        sleepers.erase(next);
        now = deadline;
        coroutine.resume();
    }
    now = until;
}

namespace {

// A turn of the event loop, as the real components take at least one; more while `held`.
QCoro::Task<> aTurn(const bool *held = nullptr)
{
    do
        co_await QCoro::sleepFor(milliseconds(1));
    while (held && *held);
}

struct FakeRecorder : Recorder
{
    Script &s;
    explicit FakeRecorder(Script &s) : s(s) {}
    void start() override
    {
        ++s.starts;
        if (s.startThrows)
            throw DescribedError(QStringLiteral("нет микрофона"));
    }
    Take stop() override { return s.take; }
    void clearSamples() override { ++s.clears; }
    float currentLevel() const override { return 0.25f; }
    MicrophoneAccess access() override { return s.access; }
    void requestAccess(std::function<void(bool)> answered) override { ++s.accessRequests, answered(true); }
};

struct FakeEngine : LocalEngine
{
    Script &s;
    explicit FakeEngine(Script &s) : s(s) {}
    bool isLoaded() const override { return s.loaded; }
    std::optional<QString> loadedModel() const override
    {
        return s.loaded ? std::optional<QString>(s.loadedName) : std::nullopt;
    }
    QCoro::Task<> load(QString file, QString name) override
    {
        ++s.loads;
        co_await aTurn();
        // Only a file the fake download wrote is sure to load.
        QFile model(file);
        if (s.loadError && !(model.open(QIODevice::ReadOnly) && model.readAll() == "model"))
            std::rethrow_exception(s.loadError);
        s.loaded = true;
        s.loadedName = name;
    }
    void unload() override { ++s.unloads, s.loaded = false; }
    QCoro::Task<QString> transcribe(std::vector<float>, QString language, QString prompt) override
    {
        ++s.transcribes;
        s.aborted = false; // each recognition starts with a cleared request
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

struct FakeCloud : CloudRecognizer
{
    Script &s;
    explicit FakeCloud(Script &s) : s(s) {}
    QCoro::Task<QString> transcribe(std::vector<float>, RemoteEndpoint endpoint, QString language,
                                    QString prompt) override
    {
        ++s.cloudCalls;
        s.lastEndpoint = endpoint;
        std::tie(s.lastLanguage, s.lastPrompt) = std::tie(language, prompt);
        co_await aTurn(&s.holdCloud);
        if (s.cloudCancelled)
            throw Cancelled();
        if (s.cloudError)
            std::rethrow_exception(s.cloudError);
        co_return s.cloudText;
    }
    void cancel() override
    {
        s.cloudCancelled = true;
        s.holdCloud = false;
    }
};

struct FakeKeys : CloudKeyProvider
{
    Script &s;
    explicit FakeKeys(Script &s) : s(s) {}
    CloudAccess current() const override
    {
        const CloudAccess now{s.key, s.serviceUrl};
        if (s.keyFileEdit)
            std::tie(s.key, s.serviceUrl) = *std::exchange(s.keyFileEdit, std::nullopt);
        return now;
    }
    QCoro::Task<bool> fetch() override
    {
        ++s.fetches;
        co_await aTurn();
        if (s.fetchSucceeds)
            s.key = QStringLiteral("fetched-key");
        co_return s.fetchSucceeds;
    }
    bool unreachable() const override { return s.unreachable; }
};

struct FakePaster : Paster
{
    Script &s;
    explicit FakePaster(Script &s) : s(s) {}
    std::optional<RunningApp> captureTarget() override { return s.front; }
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override
    {
        s.pasted << text;
        s.pastedTo = target;
        s.pastedWithAutoPaste = autoPaste;
        co_await aTurn(&s.holdPaste);
        co_return s.pasteResult;
    }
    bool copy(const QString &text) override { return s.copied << text, s.copyWorks; }
    void requestAccessibilityIfNeeded() override { ++s.accessibilityRequests; }
    void putBack() override { ++s.putBacks; }
};

struct FakeOverlay : Overlay
{
    Script &s;
    explicit FakeOverlay(Script &s) : s(s) {}
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
    AppState::Collaborators c;
    c.recorder = std::make_unique<FakeRecorder>(s);
    c.engine = std::make_unique<FakeEngine>(s);
    c.cloud = std::make_unique<FakeCloud>(s);
    c.keys = std::make_unique<FakeKeys>(s);
    c.paster = std::make_unique<FakePaster>(s);
    c.overlay = std::make_unique<FakeOverlay>(s);
    // Reports and the end come in the same turn of the event loop, as a fast transfer's do.
    c.download = [&s](QUrl, QString to, std::function<void(int)> progress) -> QCoro::Task<> {
        ++s.downloads;
        for (int percent : s.downloadPercents)
            progress(percent);
        if (s.holdDownload)
            co_await aTurn(&s.holdDownload);
        if (s.downloadError)
            std::rethrow_exception(s.downloadError);
        QFile file(to);
        if (file.open(QIODevice::WriteOnly))
            file.write("model");
    };
    return c;
}
