#pragma once

#include <QObject>
#include <QString>

#include <map>

struct wl_display;
struct wl_interface;
struct wl_registry;
struct wl_seat;
class QSocketNotifier;

// This program's own connection to the Wayland compositor, apart from the one Qt may use for its windows (on a
// Wayland desktop Qt's windows may live on XWayland). The clipboard and key seams speak the compositor's
// protocols here, on the GUI thread, without any window of ours needing the focus.
class WaylandConnection : public QObject
{
public:
    // The connection to the compositor named by WAYLAND_DISPLAY, made on first use; null when there is none or
    // it went away.
    static WaylandConnection *instance();

    wl_display *display() const { return connection; }
    wl_seat *seat() const { return defaultSeat; }
    // Whether the compositor offers the global `interface` (by its protocol name).
    bool offers(const char *interface) const { return globals.count(interface) != 0; }
    // Binds the compositor's global `interface` at the highest version both sides know, up to `maxVersion`;
    // null when it is not offered.
    void *bind(const wl_interface *interface, quint32 maxVersion) const;

    // Sends what is queued; false once the connection is broken.
    bool flush();
    // Waits until the compositor has handled every request sent so far, dispatching the events it sends.
    bool roundtrip();

private:
    explicit WaylandConnection(wl_display *display);
    void dispatch();
    void markBroken();

    struct Global
    {
        quint32 name;
        quint32 version;
    };
    wl_display *connection;
    wl_registry *registry = nullptr;
    wl_seat *defaultSeat = nullptr;
    std::map<QString, Global> globals;
    QSocketNotifier *notifier = nullptr;
    bool failed = false;
};
