#include "platform/x11/X11Workspace.h"

#include "platform/x11/X11Connection.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>

namespace {

// WM_CLASS holds two NUL-terminated strings, the instance name and the class; the class names the application.
QString windowClass(xcb_window_t window)
{
    const auto value = X11Connection::property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    if (!value)
        return {};
    const QList<QByteArray> parts = value->split('\0');
    return parts.size() >= 2 ? QString::fromLocal8Bit(parts.at(1)) : QString();
}

bool windowExists(xcb_window_t window)
{
    xcb_connection_t *conn = X11Connection::connection();
    if (!conn)
        return false;
    const auto cookie = xcb_get_window_attributes(conn, window);
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply(
        xcb_get_window_attributes_reply(conn, cookie, nullptr), &std::free);
    return reply != nullptr;
}

bool processExists(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace

std::optional<RunningApp> X11Workspace::frontmost() const
{
    const auto active = X11Connection::property32(X11Connection::rootWindow(),
                                                  X11Connection::atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    if (!active || *active == XCB_WINDOW_NONE)
        return std::nullopt;
    RunningApp app;
    app.window = *active;
    app.pid = X11Connection::property32(*active, X11Connection::atom("_NET_WM_PID"), XCB_ATOM_CARDINAL).value_or(0);
    app.identifier = windowClass(*active);
    return app;
}

bool X11Workspace::isTerminated(const RunningApp &app) const
{
    // The window is what gets activated and receives the paste, so a closed window counts as gone even when
    // its process lives on.
    if (!windowExists(static_cast<xcb_window_t>(app.window)))
        return true;
    return app.pid != 0 && !processExists(app.pid);
}

void X11Workspace::activate(const RunningApp &app)
{
    xcb_connection_t *conn = X11Connection::connection();
    if (!conn)
        return;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(app.window);
    event.type = X11Connection::atom("_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 2; // source: a pager, which window managers obey without focus-stealing checks
    event.data.data32[1] = XCB_CURRENT_TIME;
    event.data.data32[2] = XCB_WINDOW_NONE;
    xcb_send_event(conn, 0, X11Connection::rootWindow(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
    xcb_flush(conn);
}

qint64 X11Workspace::ownPid() const
{
    return QCoreApplication::applicationPid();
}
