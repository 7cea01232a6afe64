#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// Real programs of the desktop session that desktop tests work against: xclip, xdotool, xterm, and the small
// Qt window with a text field (talvane_paste_target). The event loop keeps running while they work, because
// this process may own the clipboard they read.
namespace DesktopPeers {

struct Output
{
    int exitCode = -1;
    QByteArray out;
};

// Runs `program` to its end (at most 10 s) with `input` on its standard input.
Output run(const QString &program, const QStringList &arguments, const QByteArray &input = {});

// Another program copies `bytes` as `type` (xclip, which stays to serve it until someone else copies).
void copy(const QByteArray &bytes, const QString &type = QStringLiteral("UTF8_STRING"));
// Another program copies several types at once, in this order (talvane_clipboard_peer, which stays until
// someone else copies); a type without bytes is offered but never delivered, as by an owner that hangs.
void copy(const QList<std::pair<QString, std::optional<QByteArray>>> &types);
// A clipboard manager that keeps the clipboard of programs that exit (talvane_clipboard_peer); ends with the
// object.
std::unique_ptr<QProcess> startClipboardManager();
// Empties the clipboard: a short-lived X client takes it, then exits, leaving no owner.
void emptyClipboard();
// What the clipboard holds as `type`; absent when it holds nothing or not that type.
std::optional<QByteArray> paste(const QString &type = QStringLiteral("UTF8_STRING"));
QStringList clipboardTargets();

// A started peer window that has come to the front; killed when the object goes.
struct Window
{
    std::unique_ptr<QProcess> process;
    QString output; // the file the window writes what it received
    ~Window();
    QString received() const;
};

// The Qt window with a text field; writes its text to `output` on every change.
std::unique_ptr<Window> startTextField();
// xterm running a raw `cat` into its output file; Ctrl+Shift+V pastes the clipboard there, as in other
// terminal emulators.
std::unique_ptr<Window> startTerminal();

// Waits until the window manager reports a window of `pid` as active.
bool waitForActive(qint64 pid);

} // namespace DesktopPeers
