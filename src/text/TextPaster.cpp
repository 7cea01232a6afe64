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

using std::chrono::milliseconds;

TextPaster::TextPaster(std::unique_ptr<Clipboard> clipboard, std::unique_ptr<Workspace> workspace,
                       std::unique_ptr<KeySender> keys, Sleep sleep)
    : clipboard(std::move(clipboard)), workspace(std::move(workspace)), keys(std::move(keys)), sleep(std::move(sleep))
{
}

QCoro::Task<> TextPaster::wait(milliseconds duration)
{
    if (sleep) {
        Sleep injected = sleep;
        co_await injected(duration);
        co_return;
    }
    // A precise timer: the default coarse one may fire up to 5 % early, cutting the focus check short.
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

std::optional<RunningApp> TextPaster::captureTarget()
{
    const std::optional<RunningApp> app = workspace->frontmost();
    const QString identifier = app && !app->identifier.isEmpty() ? app->identifier : QStringLiteral("none");
    Log::info(QStringLiteral("TextPaster: target app captured (%1, pid %2)").arg(identifier).arg(app ? app->pid : 0));
    return app;
}

bool TextPaster::copy(const QString &text)
{
    clipboard->clear();
    return clipboard->setText(text, false);
}

QCoro::Task<PasteResult> TextPaster::paste(QString text, bool autoPaste, std::optional<RunningApp> target)
{
    const qsizetype count = characterCount(text);
    Log::info(QStringLiteral("TextPaster: paste called with %1 chars").arg(count));
    if (!autoPaste)
        co_return copy(text) ? PasteResult::copied : PasteResult::failed;
    if (!keys->isTrusted() && !keys->canPrompt()) {
        Log::info(QStringLiteral("TextPaster: this desktop lets no program send keys — the text is copied instead"));
        co_return copy(text) ? PasteResult::copied : PasteResult::failed;
    }
    if (!keys->isTrusted()) {
        Log::info(QStringLiteral("TextPaster: no Accessibility permission — the pasteboard stays as it was"));
        requestAccessibilityIfNeeded();
        co_return PasteResult::failed;
    }
    const bool focused = co_await focus(target);
    if (!focused) {
        Log::info(QStringLiteral("TextPaster: target app unavailable — the pasteboard stays as it was"));
        co_return PasteResult::failed;
    }
    const bool borrowed = co_await borrow(text);
    if (!borrowed) {
        Log::info(QStringLiteral("TextPaster: pasteboard write failed"));
        restoreAtOnce();
        co_return PasteResult::failed;
    }
    co_await wait(milliseconds(50));
    keys->postPaste(*target);
    Log::info(QStringLiteral("TextPaster: Ctrl+V posted"));
    putBackAfter(milliseconds(std::min<qsizetype>(count + 1000, 6000)));
    co_return PasteResult::pasted;
}

void TextPaster::requestAccessibilityIfNeeded()
{
    if (keys->isTrusted() || accessibilityPrompted)
        return;
    accessibilityPrompted = true;
    Log::info(QStringLiteral("TextPaster: Accessibility permission missing, prompting"));
    keys->promptForTrust();
}

QCoro::Task<bool> TextPaster::focus(std::optional<RunningApp> target)
{
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

QCoro::Task<bool> TextPaster::borrow(QString text)
{
    // Still our previous dictation on the clipboard: the snapshot from before it is the one to give back.
    if (!saved || clipboard->changeCount() != ownChangeCount)
        saved = co_await snapshot();

    clipboard->clear();
    if (!clipboard->setText(text, true))
        co_return false;
    ownChangeCount = clipboard->changeCount();
    co_return true;
}

QCoro::Task<QList<ClipboardItem>> TextPaster::snapshot()
{
    const ClipboardSnapshot read = co_await clipboard->snapshot(snapshotTimeLimit, snapshotBudget);
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
        ClipboardItem kept;
        for (const auto &[type, data] : item) {
            if (total + data.size() > snapshotBudget) {
                leftBehind(type, data.size());
                continue;
            }
            kept.append({type, data});
            total += data.size();
        }
        items.append(kept);
    }
    co_return items;
}

// Puts the snapshot back right away, whatever the change count says: used when our own write failed after the
// clipboard had been cleared, so that the user's contents are not lost.
void TextPaster::restoreAtOnce()
{
    ++restoreTurn; // a pending restore has nothing left to do
    if (!saved)
        return;
    const QList<ClipboardItem> items = std::move(*saved);
    saved.reset();
    clipboard->clear();
    if (!items.isEmpty() && !clipboard->write(items))
        Log::info(QStringLiteral("TextPaster: previous pasteboard could not be restored"));
}

void TextPaster::putBackAfter(milliseconds after)
{
    const quint64 turn = ++restoreTurn;
    Log::info(QStringLiteral("TextPaster: restoring previous clipboard in %1 ms").arg(after.count()));
    const std::weak_ptr<bool> living = alive;
    auto later = [](TextPaster *self, QCoro::Task<> delay, std::weak_ptr<bool> living, quint64 turn) -> QCoro::Task<> {
        try {
            co_await delay;
            if (!living.expired() && self->restoreTurn == turn)
                self->putBack();
        } catch (...) {
            const QString why = TopLevelTask::describe(std::current_exception());
            Log::error(QStringLiteral("TextPaster: restore failed: ") + why);
        }
    };
    later(this, wait(after), living, turn);
}

void TextPaster::putBack()
{
    if (!saved)
        return;
    const QList<ClipboardItem> items = std::move(*saved);
    saved.reset();

    if (clipboard->changeCount() != ownChangeCount) {
        Log::info(QStringLiteral("TextPaster: pasteboard changed since the paste — leaving it alone"));
        return;
    }
    clipboard->clear();
    if (items.isEmpty())
        return;
    if (!clipboard->write(items))
        Log::info(QStringLiteral("TextPaster: previous pasteboard could not be restored"));
}
