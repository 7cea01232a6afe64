#pragma once

#include "platform/Clipboard.h"
#include "platform/KeySender.h"
#include "platform/Workspace.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// The number of characters a reader sees in `text` (extended grapheme clusters): "й" written
// as two code points, or a family emoji, count as one.
int characterCount(const QString &text);

enum class PasteResult {
    pasted, // text written, the paste chord sent, the restore scheduled
    copied, // automatic pasting off: the text was left on the clipboard
    failed, // nothing was pasted
};

// Delivers a finished dictation to the application the user was working in: puts the text on the clipboard,
// brings the target back to the front if the focus moved, sends the paste chord, and some seconds later puts
// back what the clipboard held before, unless the user has copied something in the meantime.
//
// Process-wide state, used on the GUI thread only.
namespace TextPaster {

// How long to wait; the default is a suspension on the event loop's monotonic timers.
using Sleep = std::function<QCoro::Task<>(std::chrono::milliseconds)>;

struct Seams
{
    Clipboard *clipboard = nullptr;
    Workspace *workspace = nullptr;
    KeySender *keys = nullptr;
    Sleep sleep; // empty: real time
};

// Sets the platform the paster works on, and starts afresh: no snapshot, no pending restore, no prompt shown.
// The seams must outlive their use.
void use(Seams seams);

// The most bytes of clipboard data one snapshot keeps (64 MiB).
inline constexpr qint64 snapshotBudget = 67'108'864;
// How long a snapshot waits for the clipboard's owner in all: a program that is slow or hangs must not hold
// the paste up for long; what it has not delivered by then is left out of the restore.
inline constexpr std::chrono::milliseconds snapshotTimeLimit{1000};

// The application in front now, the one a dictation starting now is meant for.
std::optional<RunningApp> captureTarget();

// Delivers `text`: with `paste` (the automatic-paste setting) into `target`, otherwise onto the clipboard only.
QCoro::Task<PasteResult> paste(QString text, bool paste, std::optional<RunningApp> target);

// Shows the system's permission prompt for synthetic keys once per process, when the permission is missing.
void requestAccessibilityIfNeeded();

// Restores the snapshot now, unless the clipboard changed since the paste. The snapshot is used at most once.
// Also called at quit, so that the user's contents, not the dictation, are what outlives the program.
void putBack();

// The steps of paste.
QCoro::Task<bool> focus(std::optional<RunningApp> target);
QCoro::Task<bool> borrow(QString text);
QCoro::Task<QList<ClipboardItem>> snapshot(const Clipboard &clipboard);
void putBack(std::chrono::milliseconds after);

} // namespace TextPaster
