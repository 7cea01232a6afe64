#include "FakeDesktop.h"

#include <algorithm>

void FakeClipboard::clear()
{
    items.clear();
    ++changes;
}

bool FakeClipboard::setText(const QString &text, bool transient)
{
    if (!setTextWorks)
        return false;
    items = {ClipboardItem{{QStringLiteral("text/plain"), text.toUtf8()}}};
    lastWriteTransient = transient;
    ++writes;
    ++changes;
    return true;
}

QCoro::Task<ClipboardSnapshot> FakeClipboard::snapshot(std::chrono::milliseconds, qint64 byteLimit) const
{
    ClipboardSnapshot result;
    for (const ClipboardItem &item : items) {
        ClipboardItem copy;
        for (const auto &[type, bytes] : item) {
            if (bytes.size() > byteLimit)
                result.tooLarge.append({type, bytes.size()});
            else
                copy.append({type, bytes});
        }
        result.items.append(copy);
    }
    co_return result;
}

bool FakeClipboard::write(const QList<ClipboardItem> &newItems)
{
    if (!writeWorks)
        return false;
    items = newItems;
    lastWriteTransient = false;
    ++writes;
    ++changes;
    return true;
}

void FakeClipboard::copyFromElsewhere(const QList<ClipboardItem> &newItems)
{
    items = newItems;
    ++changes;
}

QString FakeClipboard::text() const
{
    if (items.isEmpty())
        return {};
    for (const auto &[type, bytes] : items.first()) {
        if (type == QLatin1String("text/plain"))
            return QString::fromUtf8(bytes);
    }
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

int FakeHotkeyBackend::install(std::function<void(int id)> onPressed)
{
    pressed = std::move(onPressed);
    return installStatus;
}

int FakeHotkeyBackend::registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    for (const Key &held : taken) {
        if (held.key == key && held.modifiers == modifiers)
            return HotkeyBackend::taken;
    }
    registered[id] = Key{key, modifiers};
    ++registrations;
    return 0;
}

bool FakeHotkeyBackend::press(int id)
{
    if (!registered.count(id))
        return false;
    deliver(id);
    return true;
}

void FakeHotkeyBackend::deliver(int id)
{
    if (pressed)
        pressed(id);
}

// Whatever still sleeps when the clock goes away wakes up, as it would when real time passes: a coroutine
// suspended for good keeps its frame for good (a task's frame is freed only when it finishes).
FakeClock::~FakeClock()
{
    const auto byDeadline = [](const Sleeper &a, const Sleeper &b) { return a.deadline < b.deadline; };
    while (!sleepers.empty())
        advance(std::max_element(sleepers.begin(), sleepers.end(), byDeadline)->deadline - now);
}

QCoro::Task<> FakeClock::sleep(std::chrono::milliseconds duration)
{
    requested.push_back(duration);
    struct Suspension
    {
        FakeClock *clock;
        std::chrono::milliseconds deadline;
        bool await_ready() const noexcept { return deadline <= clock->now; }
        void await_suspend(std::coroutine_handle<> coroutine) { clock->sleepers.push_back({deadline, coroutine}); }
        void await_resume() const noexcept {}
    };
    co_await Suspension{this, now + duration};
}

void FakeClock::advance(std::chrono::milliseconds duration)
{
    const auto until = now + duration;
    for (;;) {
        const auto next = std::min_element(sleepers.begin(), sleepers.end(),
                                           [](const Sleeper &a, const Sleeper &b) { return a.deadline < b.deadline; });
        if (next == sleepers.end() || next->deadline > until)
            break;
        const Sleeper due = *next;
        sleepers.erase(next);
        now = due.deadline;
        due.coroutine.resume();
    }
    now = until;
}
