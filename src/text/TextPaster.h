#pragma once

#include "platform/Clipboard.h"
#include "platform/KeySender.h"
#include "platform/Workspace.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The number of characters a reader sees in `text` (extended grapheme clusters): "й" written
// as two code points, or a family emoji, count as one.
int characterCount(const QString &text);

enum class PasteResult {
    pasted, // text written, the paste chord sent, the restore scheduled
    copied, // automatic pasting off: the text was left on the clipboard
    failed, // nothing was pasted
};

// What the dictation controller needs of the paster; tests drive the controller with a double.
class Paster
{
public:
    virtual ~Paster() = default;
    // The application in front now, the one a dictation starting now is meant for.
    virtual std::optional<RunningApp> captureTarget() = 0;
    // Delivers `text`: with `autoPaste` into `target`, otherwise onto the clipboard only.
    virtual QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) = 0;
    // Puts `text` on the clipboard for the user to paste; returns whether it is there.
    virtual bool copy(const QString &text) = 0;
    // Shows the system's permission prompt for synthetic keys once, when the permission is missing.
    virtual void requestAccessibilityIfNeeded() = 0;
    // Restores the snapshot now, unless the clipboard changed since the paste. The snapshot is used at most
    // once. Called at quit, so that the user's contents, not the dictation, are what outlives the program.
    virtual void putBack() = 0;
};

// Delivers a finished dictation to the application the user was working in: puts the text on the clipboard,
// brings the target back to the front if the focus moved, sends the paste chord, and some seconds later puts
// back what the clipboard held before, unless the user has copied something in the meantime.
// Lives on the GUI thread.
class TextPaster final : public Paster
{
public:
    // How long to wait; the default is a suspension on the event loop's monotonic timers.
    using Sleep = std::function<QCoro::Task<>(std::chrono::milliseconds)>;

    // The most bytes of clipboard data one snapshot keeps (64 MiB).
    static constexpr qint64 snapshotBudget = 67'108'864;
    // How long a snapshot waits for the clipboard's owner in all: a program that is slow or hangs must not hold
    // the paste up for long; what it has not delivered by then is left out of the restore.
    static constexpr std::chrono::milliseconds snapshotTimeLimit{1000};

    // `sleep` empty: real time.
    TextPaster(std::unique_ptr<Clipboard> clipboard, std::unique_ptr<Workspace> workspace,
               std::unique_ptr<KeySender> keys, Sleep sleep = {});
    TextPaster(const TextPaster &) = delete;
    TextPaster &operator=(const TextPaster &) = delete;

    std::optional<RunningApp> captureTarget() override;
    QCoro::Task<PasteResult> paste(QString text, bool autoPaste, std::optional<RunningApp> target) override;
    bool copy(const QString &text) override;
    void requestAccessibilityIfNeeded() override;
    void putBack() override;

private:
    QCoro::Task<> wait(std::chrono::milliseconds duration);
    QCoro::Task<bool> focus(std::optional<RunningApp> target);
    QCoro::Task<bool> borrow(QString text);
    QCoro::Task<QList<ClipboardItem>> snapshot();
    void putBackAfter(std::chrono::milliseconds after);
    void restoreAtOnce();

    std::unique_ptr<Clipboard> clipboard;
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<KeySender> keys;
    Sleep sleep;
    std::optional<QList<ClipboardItem>> saved; // the clipboard as it was before the current run of dictations
    qint64 ownChangeCount = 0;                 // the change count right after our last dictation went on it
    quint64 restoreTurn = 0;                   // a scheduled restore runs only if no later one was scheduled
    bool accessibilityPrompted = false;
    // A restore still waiting when the paster goes away finds this gone and does nothing.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};
