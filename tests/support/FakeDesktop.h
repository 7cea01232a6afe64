#pragma once

#include "platform/Clipboard.h"
#include "platform/HotkeyBackend.h"
#include "platform/KeySender.h"
#include "platform/Workspace.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <coroutine>
#include <map>
#include <set>
#include <vector>

// In-memory clipboard with items of typed data, a change count and switchable write failures.
class FakeClipboard : public Clipboard
{
public:
    qint64 changeCount() const override { return changes; }
    void clear() override;
    bool setText(const QString &text, bool transient) override;
    QCoro::Task<ClipboardSnapshot> snapshot(std::chrono::milliseconds timeLimit, qint64 byteLimit) const override;
    bool write(const QList<ClipboardItem> &newItems) override;

    // Another program copies `newItems`.
    void copyFromElsewhere(const QList<ClipboardItem> &newItems);
    QString text() const;

    QList<ClipboardItem> items;
    bool setTextWorks = true;
    bool writeWorks = true;
    bool lastWriteTransient = false; // whether the last setText asked to stay out of clipboard history
    int writes = 0;                  // setText and write calls that changed the contents

private:
    qint64 changes = 0;
};

// Applications by process id: the frontmost one, terminated ones, and whether activation works.
class FakeWorkspace : public Workspace
{
public:
    std::optional<RunningApp> frontmost() const override { return front; }
    bool isTerminated(const RunningApp &app) const override { return terminated.count(app.pid) > 0; }
    void activate(const RunningApp &app) override;
    qint64 ownPid() const override { return 4242; }

    std::optional<RunningApp> front;
    std::set<qint64> terminated;
    bool activationWorks = true;
    std::vector<RunningApp> activations;
};

class FakeKeySender : public KeySender
{
public:
    bool isTrusted() const override { return trusted; }
    void promptForTrust() override { ++prompts; }
    void postPaste(const RunningApp &target) override;

    bool trusted = true;
    int prompts = 0;
    std::vector<RunningApp> pastes;
    std::function<void()> onPaste; // runs as the chord goes out, e.g. to look at the clipboard then
};

// Hot keys by id, some of them held by "another program".
class FakeHotkeyBackend : public HotkeyBackend
{
public:
    struct Key
    {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };

    int install(std::function<void(int id)> pressed) override;
    int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) override;
    void unregisterKey(int id) override { registered.erase(id); }

    // A press of the key registered under `id`, as the platform would deliver it; false when none is.
    bool press(int id);
    // Delivers an id this backend never registered (a press meant for someone else).
    void deliver(int id);

    int installStatus = 0;
    std::vector<Key> taken; // keys another program holds
    std::map<int, Key> registered;
    int registrations = 0;

private:
    std::function<void(int id)> pressed;
};

// A monotonic clock that moves only when the test says so: sleep() suspends until advance() passes its
// deadline, and advance() resumes the sleepers right there, earliest deadline first, so tests see exactly which
// waits a coroutine makes and what happens at the end of each.
class FakeClock
{
public:
    ~FakeClock();
    QCoro::Task<> sleep(std::chrono::milliseconds duration);
    void advance(std::chrono::milliseconds duration);

    std::chrono::milliseconds now{0};
    std::vector<std::chrono::milliseconds> requested; // every sleep asked for, in order

private:
    struct Sleeper
    {
        std::chrono::milliseconds deadline;
        std::coroutine_handle<> coroutine;
    };
    std::vector<Sleeper> sleepers;
};
