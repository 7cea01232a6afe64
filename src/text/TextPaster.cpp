#include "text/TextPaster.h"

#include "platform/Log.h"
#include "platform/TopLevelTask.h"

#include <QCoro/QCoroTimer>
#include <QTextBoundaryFinder>
#include <QTimer>

#include <algorithm>

int characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

namespace TextPaster {

namespace {

using std::chrono::milliseconds;

struct State
{
    Seams seams;
    std::optional<QList<ClipboardItem>> saved; // the clipboard as it was before the current run of dictations
    qint64 ownChangeCount = 0;                 // the change count right after our last dictation went on it
    quint64 restoreTurn = 0;                   // a scheduled restore runs only if no later one was scheduled
    bool accessibilityPrompted = false;
};

State &state()
{
    static State instance;
    return instance;
}

QCoro::Task<> wait(milliseconds duration)
{
    if (state().seams.sleep) {
        co_await state().seams.sleep(duration);
        co_return;
    }
    // A precise timer: the default coarse one may fire up to 5 % early, cutting the focus check short.
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

bool ready()
{
    const Seams &seams = state().seams;
    return seams.clipboard && seams.workspace && seams.keys;
}

// Puts the snapshot back right away, whatever the change count says: used when our own write failed after the
// clipboard had been cleared, so that the user's contents are not lost.
void restoreAtOnce()
{
    State &s = state();
    ++s.restoreTurn; // a pending restore has nothing left to do
    if (!s.saved)
        return;
    const QList<ClipboardItem> items = std::move(*s.saved);
    s.saved.reset();
    s.seams.clipboard->clear();
    if (!items.isEmpty() && !s.seams.clipboard->write(items))
        Log::info(QStringLiteral("TextPaster: previous pasteboard could not be restored"));
}

QCoro::Task<> restoreLater(milliseconds after, quint64 turn)
{
    try {
        co_await wait(after);
        if (state().restoreTurn == turn)
            putBack();
    } catch (...) {
        const QString why = TopLevelTask::describe(std::current_exception());
        Log::error(QStringLiteral("TextPaster: restore failed: ") + why);
    }
}

} // namespace

void use(Seams seams)
{
    State &s = state();
    s.seams = std::move(seams);
    s.saved.reset();
    s.ownChangeCount = 0;
    ++s.restoreTurn;
    s.accessibilityPrompted = false;
}

std::optional<RunningApp> captureTarget()
{
    const std::optional<RunningApp> app = ready() ? state().seams.workspace->frontmost() : std::nullopt;
    const QString identifier = app && !app->identifier.isEmpty() ? app->identifier : QStringLiteral("none");
    Log::info(QStringLiteral("TextPaster: target app captured (%1, pid %2)").arg(identifier).arg(app ? app->pid : 0));
    return app;
}

QCoro::Task<PasteResult> paste(QString text, bool paste, std::optional<RunningApp> target)
{
    const qsizetype count = characterCount(text);
    Log::info(QStringLiteral("TextPaster: paste called with %1 chars").arg(count));
    if (!ready())
        co_return PasteResult::failed;
    const Seams &seams = state().seams;

    if (!paste) {
        seams.clipboard->clear();
        co_return seams.clipboard->setText(text, false) ? PasteResult::copied : PasteResult::failed;
    }
    if (!seams.keys->isTrusted()) {
        Log::info(QStringLiteral("TextPaster: no Accessibility permission — the pasteboard stays as it was"));
        requestAccessibilityIfNeeded();
        co_return PasteResult::failed;
    }
    if (!co_await focus(target)) {
        Log::info(QStringLiteral("TextPaster: target app unavailable — the pasteboard stays as it was"));
        co_return PasteResult::failed;
    }
    if (!co_await borrow(text)) {
        Log::info(QStringLiteral("TextPaster: pasteboard write failed"));
        restoreAtOnce();
        co_return PasteResult::failed;
    }
    co_await wait(milliseconds(50));
    seams.keys->postPaste(*target);
    Log::info(QStringLiteral("TextPaster: Cmd+V posted"));
    putBack(milliseconds(std::min<qsizetype>(count + 1000, 6000)));
    co_return PasteResult::pasted;
}

void requestAccessibilityIfNeeded()
{
    State &s = state();
    if (!ready() || s.seams.keys->isTrusted() || s.accessibilityPrompted)
        return;
    s.accessibilityPrompted = true;
    Log::info(QStringLiteral("TextPaster: Accessibility permission missing, prompting"));
    s.seams.keys->promptForTrust();
}

QCoro::Task<bool> focus(std::optional<RunningApp> target)
{
    Workspace *workspace = state().seams.workspace;
    if (!target || workspace->isTerminated(*target) || target->pid == workspace->ownPid())
        co_return false;

    const std::optional<RunningApp> front = workspace->frontmost();
    if (!front || !sameApplication(*front, *target)) {
        const QString name = target->identifier.isEmpty() ? QStringLiteral("target") : target->identifier;
        Log::info(QStringLiteral("TextPaster: focus moved away, re-activating %1").arg(name));
        workspace->activate(*target);
    }
    co_await wait(milliseconds(150));

    const std::optional<RunningApp> now = workspace->frontmost();
    if (now && sameApplication(*now, *target))
        co_return true;
    Log::info(QStringLiteral("TextPaster: refocus failed"));
    co_return false;
}

QCoro::Task<bool> borrow(QString text)
{
    State &s = state();
    Clipboard &clipboard = *s.seams.clipboard;
    // Still our previous dictation on the clipboard: the snapshot from before it is the one to give back.
    if (!s.saved || clipboard.changeCount() != s.ownChangeCount)
        s.saved = co_await snapshot(clipboard);

    clipboard.clear();
    if (!clipboard.setText(text, true))
        co_return false;
    s.ownChangeCount = clipboard.changeCount();
    co_return true;
}

QCoro::Task<QList<ClipboardItem>> snapshot(const Clipboard &clipboard)
{
    const ClipboardSnapshot read = co_await clipboard.snapshot(snapshotTimeLimit, snapshotBudget);
    auto leftBehind = [](const QString &type, qint64 size) {
        Log::info(QStringLiteral("TextPaster: type %1 left behind, %2 bytes").arg(type).arg(size));
    };
    for (const QString &type : read.late)
        Log::info(QStringLiteral("TextPaster: type %1 left behind, not delivered within %2 ms")
                 .arg(type)
                 .arg(snapshotTimeLimit.count()));
    for (const auto &[type, size] : read.tooLarge)
        leftBehind(type, size);

    QList<ClipboardItem> items;
    qint64 total = 0;
    for (const ClipboardItem &item : read.items) {
        ClipboardItem copy;
        for (const auto &[type, data] : item) {
            if (total + data.size() > snapshotBudget) {
                leftBehind(type, data.size());
                continue;
            }
            copy.append({type, data});
            total += data.size();
        }
        items.append(copy);
    }
    co_return items;
}

void putBack(milliseconds after)
{
    State &s = state();
    const quint64 turn = ++s.restoreTurn;
    Log::info(QStringLiteral("TextPaster: restoring previous clipboard in %1 ms").arg(after.count()));
    restoreLater(after, turn);
}

void putBack()
{
    State &s = state();
    if (!s.saved || !ready())
        return;
    const QList<ClipboardItem> items = std::move(*s.saved);
    s.saved.reset();

    Clipboard &clipboard = *s.seams.clipboard;
    if (clipboard.changeCount() != s.ownChangeCount) {
        Log::info(QStringLiteral("TextPaster: pasteboard changed since the paste — leaving it alone"));
        return;
    }
    clipboard.clear();
    if (items.isEmpty())
        return;
    if (!clipboard.write(items))
        Log::info(QStringLiteral("TextPaster: previous pasteboard could not be restored"));
}

} // namespace TextPaster
