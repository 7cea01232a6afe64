#pragma once

#include "TestSupport.h"

#include <QImage>
#include <QProcess>

// The desktop session's programs that desktop tests work with. The event loop keeps running while they work,
// because this process may own the clipboard they read.
namespace Desktop {

// The output of `program` when it exits with 0 within 20 s.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments);
QString xdotool(const QStringList &arguments); // its output, trimmed; fails the test when xdotool fails
bool waitForActive(qint64 pid);
QRect geometry(quint64 window);

// The composited screen as the user sees it, kept as <build>/artifacts/<artifact>.png when named.
QImage screenshot(const QString &artifact = {});
QImage keep(const QImage &image, const QString &artifact); // as <build>/artifacts/<artifact>.png

// Another program copies `types` and stays to serve them until someone else copies: xclip for one type (it hands
// large contents over in parts), else the X peer, which never delivers a type without bytes (nor any, for none).
using Types = QList<std::pair<QString, std::optional<QByteArray>>>;
void copy(const Types &types);
// In a session with a Wayland compositor that offers clipboard control (sway), the clipboard meant is its one.
inline bool waylandClipboard()
{
    return qEnvironmentVariableIsSet("SWAYSOCK");
}
// What the clipboard holds as `type`; absent when it holds nothing or not that type.
inline std::optional<QByteArray> paste(const QString &type = QStringLiteral("UTF8_STRING"))
{
    if (waylandClipboard())
        return run(QStringLiteral("wl-paste"), {"--no-newline", "--type", type});
    return run(QStringLiteral("xclip"), {"-selection", "clipboard", "-t", type, "-o"});
}
inline QStringList clipboardTargets()
{
    const auto types = waylandClipboard() ? run(QStringLiteral("wl-paste"), {"--list-types"}) : paste("TARGETS");
    return QString::fromUtf8(types.value_or("")).split('\n', Qt::SkipEmptyParts);
}

// A program started for the test, killed when the object goes.
struct Program
{
    ~Program() { process.kill(), process.waitForFinished(5000); }
    QString received() const { return QString::fromUtf8(TestSupport::readFile(output)); }
    void activate() const
    {
        if (!wayland)
            xdotool({"windowactivate", "--sync", QString::number(window)});
        else
            QTest::qVerify(run("swaymsg", {QString("[pid=%1] focus").arg(process.processId())}).has_value(), "focus",
                           "", __FILE__, __LINE__);
    }

    QProcess process;
    QString answer;     // the X peer's first line: "ready", or "taken" for a key another client holds
    QString output;     // where a target window writes what reached it
    quint64 window = 0; // a target window's X window, active when started (its process on Wayland)
    bool wayland = false;
};
// The X peer in one of its modes, once it has answered; a Qt text field; xterm running a raw `cat` (Ctrl+Shift+V
// pastes the clipboard there, as in other terminal emulators). The windows have come to the front.
std::unique_ptr<Program> startPeer(const QStringList &arguments);
std::unique_ptr<Program> startTextField();
std::unique_ptr<Program> startTerminal();
// The same as native windows of the session's sway, focused: the text field on Qt's Wayland plugin, and foot.
std::unique_ptr<Program> startWaylandTextField();
std::unique_ptr<Program> startFoot();

} // namespace Desktop
