#pragma once

#include "dictation/AppState.h"
#include "platform/Errors.h"
#include "platform/HotkeyBackend.h"

#include <QCoro/QCoroTask>
#include <QFile>

#include <chrono>
#include <coroutine>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

// Test doubles for the OS seams and for the dictation controller's collaborators. They record
// what they were asked and answer what the test scripted.

// In-memory clipboard with items of typed data, a change count and switchable write failures.
struct FakeClipboard : Clipboard
{
    qint64 changeCount() const override { return changes; }
    void clear() override { items.clear(), ++changes; }
    bool setText(const QString &text, bool transient) override;
    QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const override;
    bool write(const QList<ClipboardItem> &newItems) override;
    void copyFromElsewhere(const QList<ClipboardItem> &newItems) { items = newItems, ++changes; }
    QString text() const;

    QList<ClipboardItem> items;
    bool setTextWorks = true, writeWorks = true, lastWriteTransient = false;
    qint64 changes = 0;
};

// Applications by process id: the frontmost one, terminated ones, and whether activation works.
struct FakeWorkspace : Workspace
{
    std::optional<RunningApp> frontmost() const override { return front; }
    bool isTerminated(const RunningApp &app) const override { return terminated.count(app.pid) > 0; }
    void activate(const RunningApp &app) override;
    qint64 ownPid() const override { return 4242; }

    std::optional<RunningApp> front;
    std::set<qint64> terminated;
    bool activationWorks = true;
    std::vector<RunningApp> activations;
};

struct FakeKeySender : KeySender
{
    bool isTrusted() const override { return trusted; }
    void promptForTrust() override { ++prompts; }
    void postPaste(const RunningApp &target) override;

    bool trusted = true;
    int prompts = 0;
    std::vector<RunningApp> pastes;
    std::function<void()> onPaste; // runs as the chord goes out, e.g. to look at the clipboard then
};

// Hot keys by id, some of them held by "another program".
struct FakeHotkeyBackend : HotkeyBackend
{
    int install(std::function<void(int id)> onPressed) override { return pressed = std::move(onPressed), 0; }
    int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) override;
    void unregisterKey(int id) override { registered.erase(id); }
    // A press of the key registered under `id`, as the platform would deliver it; false when none is.
    bool press(int id);

    std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> taken; // keys another program holds
    std::map<int, std::pair<Qt::Key, Qt::KeyboardModifiers>> registered;
    std::function<void(int id)> pressed;
};

// A monotonic clock that moves only when the test says so: sleep() suspends until advance() passes its
// deadline, and advance() resumes the sleepers right there, earliest deadline first.
struct FakeClock
{
    ~FakeClock(); // wakes whatever still sleeps, as real time would
    QCoro::Task<> sleep(std::chrono::milliseconds duration);
    void advance(std::chrono::milliseconds duration);

    std::chrono::milliseconds now{0};
    std::vector<std::chrono::milliseconds> requested; // every sleep asked for, in order
    std::vector<std::pair<std::chrono::milliseconds, std::coroutine_handle<>>> sleepers;
};

// Everything a controller test scripts and observes, shared with the doubles (which the controller owns).
struct Script
{
    // recorder
    bool startThrows = false;
    Take take = Take::audio(std::vector<float>(16000, 0.5f));
    MicrophoneAccess access = MicrophoneAccess::authorized;
    int starts = 0, clears = 0, accessRequests = 0;
    // local engine and downloads
    bool loaded = true, aborted = false;
    QString loadedName = QStringLiteral("large-v3-turbo"), localText = QStringLiteral("ну вот, э-э, текст");
    std::exception_ptr localError, loadError, downloadError;
    bool holdLocal = false, holdDownload = false; // answers held back until the test lets go
    int transcribes = 0, unloads = 0, loads = 0, downloads = 0;
    std::vector<int> downloadPercents;
    QString lastLanguage, lastPrompt;
    // cloud and its key
    QString cloudText = QStringLiteral("облачный текст"), key = QStringLiteral("  device-key\n");
    QUrl serviceUrl = QUrl(QStringLiteral("https://cloud.example.test/base"));
    std::optional<std::pair<QString, QUrl>> keyFileEdit; // saved by the user right after the next read
    std::exception_ptr cloudError;
    bool holdCloud = false, cloudCancelled = false, fetchSucceeds = true, unreachable = false;
    int cloudCalls = 0, fetches = 0;
    RemoteEndpoint lastEndpoint;
    // paster
    std::optional<RunningApp> front = RunningApp{4242, QStringLiteral("Gedit"), 77};
    PasteResult pasteResult = PasteResult::pasted;
    QStringList pasted, copied;
    std::optional<RunningApp> pastedTo;
    bool holdPaste = false, pastedWithAutoPaste = true, copyWorks = true;
    int accessibilityRequests = 0, putBacks = 0;
    // overlay
    QStringList overlay; // "show recording 4242", "show transcribing -", "hide"
    std::function<float()> levelSource;
};

// A controller's collaborators answering from `s`.
AppState::Collaborators collaboratorsFor(Script &s);
