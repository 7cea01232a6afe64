#pragma once

#include "dictation/AppState.h"
#include "platform/Errors.h"
#include "platform/HotkeyBackend.h"

#include <QCoro/QCoroTimer>
#include <QFile>

#include <coroutine>
#include <map>
#include <set>
#include <tuple>

// Test doubles for the OS seams and for the dictation controller's collaborators. They record
// what they were asked and answer what the test scripted.

// In-memory clipboard with items of typed data, a change count and switchable write failures.
struct FakeClipboard : Clipboard
{
    QList<ClipboardItem> items;
    bool setTextWorks = true, writeWorks = true, lastWriteTransient = false;
    qint64 changes = 0;

    qint64 changeCount() const override { return changes; }
    void clear() override { items.clear(), ++changes; }
    bool setText(const QString &text, bool transient) override
    {
        if (setTextWorks)
            copyFromElsewhere({{{QStringLiteral("text/plain"), text.toUtf8()}}}), lastWriteTransient = transient;
        return setTextWorks;
    }
    QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds, qint64 byteLimit) const override
    {
        ClipboardSnapshot result;
        for (const ClipboardItem &item : items) {
            result.items.append(ClipboardItem());
            for (const auto &[type, bytes] : item)
                bytes.size() > byteLimit ? result.tooLarge.append({type, bytes.size()})
                                         : result.items.last().append({type, bytes});
        }
        co_return result;
    }
    bool write(const QList<ClipboardItem> &newItems) override
    {
        return writeWorks && (copyFromElsewhere(newItems), lastWriteTransient = false, true);
    }
    void copyFromElsewhere(const QList<ClipboardItem> &newItems) { items = newItems, ++changes; }
    QString text() const { return items.isEmpty() ? QString() : QString::fromUtf8(items[0].value(0).second); }
};

// Applications by process id: the frontmost one, terminated ones, and whether activation works.
struct FakeWorkspace : Workspace
{
    std::optional<RunningApp> front;
    std::set<qint64> terminated;
    bool activationWorks = true;
    std::vector<RunningApp> activations;

    std::optional<RunningApp> frontmost() const override { return front; }
    bool isTerminated(const RunningApp &app) const override { return terminated.count(app.pid) > 0; }
    void activate(const RunningApp &app) override { activations.push_back(app), front = activationWorks ? app : front; }
    qint64 ownPid() const override { return 4242; }
};

struct FakeKeySender : KeySender
{
    bool trusted = true, askable = true;
    int prompts = 0;
    std::vector<RunningApp> pastes;
    std::function<void()> onPaste = [] {}; // runs as the chord goes out, e.g. to look at the clipboard then

    bool isTrusted() const override { return trusted; }
    void promptForTrust() override { ++prompts; }
    bool canPrompt() const override { return askable; }
    void postPaste(const RunningApp &target) override { pastes.push_back(target), onPaste(); }
};

// Hot keys by id, some of them held by "another program".
struct FakeHotkeyBackend : HotkeyBackend
{
    std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> taken;
    std::vector<Qt::KeyboardModifiers> missing; // not on this keyboard
    std::map<int, std::pair<Qt::Key, Qt::KeyboardModifiers>> registered;

    int install(std::function<void(int id)>) override { return 0; }
    int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) override
    {
        if (std::count(taken.begin(), taken.end(), std::pair(key, modifiers)))
            return HotkeyBackend::taken;
        if (std::count(missing.begin(), missing.end(), modifiers))
            return HotkeyBackend::unavailable;
        return registered[id] = {key, modifiers}, 0;
    }
    void unregisterKey(int id) override { registered.erase(id); }
};

// A monotonic clock that moves only when the test says so: sleep() suspends until advance() passes its
// deadline, and advance() resumes the sleepers right there, earliest deadline first.
struct FakeClock
{
    std::chrono::milliseconds now{0};
    std::multimap<std::chrono::milliseconds, std::coroutine_handle<>> sleepers;

    ~FakeClock() { advance(std::chrono::hours(1)); } // wakes whatever still sleeps, as real time would
    QCoro::Task<> sleep(std::chrono::milliseconds duration)
    {
        struct Suspension
        {
            FakeClock *clock;
            std::chrono::milliseconds deadline;
            bool await_ready() const noexcept { return deadline <= clock->now; }
            void await_suspend(std::coroutine_handle<> coroutine) { clock->sleepers.insert({deadline, coroutine}); }
            void await_resume() const noexcept {}
        };
        co_await Suspension{this, now + duration};
    }
    void advance(std::chrono::milliseconds duration)
    {
        const auto until = now + duration;
        while (!sleepers.empty() && sleepers.begin()->first <= until) {
            const auto [deadline, coroutine] = *sleepers.begin();
            sleepers.erase(sleepers.begin());
            now = deadline;
            coroutine.resume();
        }
        now = until;
    }
};

// Everything a controller test scripts and observes, shared with the doubles (which the controller owns).
struct Script
{
    // recorder
    bool startThrows = false;
    Take take = Take::audio(std::vector<float>(16000, 0.5f));
    MicrophoneAccess access = MicrophoneAccess::authorized;
    int starts = 0, clears = 0, accessRequests = 0;
    // local engine and downloads; a held answer waits until the test lets go
    bool loaded = true, aborted = false, holdLocal = false, holdDownload = false;
    QString loadedName = QStringLiteral("large-v3-turbo"), localText = QStringLiteral("ну вот, э-э, текст");
    std::exception_ptr localError, loadError, downloadError;
    int transcribes = 0, downloads = 0;
    std::vector<int> downloadPercents;
    QString lastLanguage, lastPrompt;
    // cloud and its key
    QString cloudText = QStringLiteral("облачный текст"), key = QStringLiteral("  device-key\n");
    QUrl serviceUrl = QUrl(QStringLiteral("https://cloud.example.test/base"));
    std::optional<std::pair<QString, QUrl>> keyFileEdit; // saved by the user right after the next read
    std::exception_ptr cloudError;
    bool holdCloud = false, cloudCancelled = false, fetchSucceeds = true, unreachable = false;
    int cloudCalls = 0, unloads = 0;
    RemoteEndpoint lastEndpoint;
    // paster
    std::optional<RunningApp> front = RunningApp{4242, QStringLiteral("Gedit"), 77};
    PasteResult pasteResult = PasteResult::pasted;
    QStringList pasted, copied;
    std::optional<RunningApp> pastedTo;
    bool holdPaste = false, pastedWithAutoPaste = true, copyWorks = true;
    int accessibilityRequests = 0;
    // overlay
    QStringList overlay; // "show recording 4242", "show transcribing -", "hide"
    std::function<float()> levelSource;
};

// A controller's collaborators answering from `s`.
AppState::Collaborators collaboratorsFor(Script &s);
