#include "platform/wayland/WaylandConnection.h"

#include "platform/Log.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <wayland-client.h>

#include <csignal>

namespace {

WaylandConnection *current = nullptr;

} // namespace

WaylandConnection *WaylandConnection::instance()
{
    static bool tried = false;
    if (!tried && QCoreApplication::instance()) {
        tried = true;
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            if (wl_display *display = wl_display_connect(nullptr))
                current = new WaylandConnection(display);
            else
                Log::error(QStringLiteral("Wayland: no connection to the compositor"));
        }
    }
    return current && !current->failed ? current : nullptr;
}

// The connection lives as long as the process: protocol objects let go by destroyed seams stay with it until the
// compositor is done with them, and the system closes it at exit.
WaylandConnection::WaylandConnection(wl_display *display) : connection(display)
{
    // A clipboard reader that goes away mid-transfer must cost an error on the write, not the program.
    std::signal(SIGPIPE, SIG_IGN);

    static const wl_registry_listener listener{
        [](void *data, wl_registry *, uint32_t name, const char *interface, uint32_t version) {
            static_cast<WaylandConnection *>(data)->globals.emplace(QString::fromLatin1(interface),
                                                                    Global{name, version});
        },
        [](void *data, wl_registry *, uint32_t name) {
            auto &globals = static_cast<WaylandConnection *>(data)->globals;
            std::erase_if(globals, [name](const auto &entry) { return entry.second.name == name; });
        }};
    registry = wl_display_get_registry(connection);
    wl_registry_add_listener(registry, &listener, this);
    wl_display_roundtrip(connection);
    defaultSeat = static_cast<wl_seat *>(bind(&wl_seat_interface, 1));

    notifier = new QSocketNotifier(wl_display_get_fd(connection), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &WaylandConnection::dispatch);
    // Requests queue up until flushed: send them whenever the event loop is about to wait.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &WaylandConnection::flush);
    Log::info(QStringLiteral("Wayland: connected, %1 globals").arg(globals.size()));
}

void *WaylandConnection::bind(const wl_interface *interface, quint32 maxVersion) const
{
    const auto found = globals.find(QString::fromLatin1(interface->name));
    if (found == globals.end() || failed)
        return nullptr;
    return wl_registry_bind(registry, found->second.name, interface, std::min(found->second.version, maxVersion));
}

void WaylandConnection::dispatch()
{
    if (wl_display_dispatch(connection) < 0)
        markBroken();
}

bool WaylandConnection::flush()
{
    if (failed)
        return false;
    if (wl_display_flush(connection) < 0 && errno != EAGAIN)
        markBroken();
    return !failed;
}

bool WaylandConnection::roundtrip()
{
    if (!failed && wl_display_roundtrip(connection) < 0)
        markBroken();
    return !failed;
}

void WaylandConnection::markBroken()
{
    if (failed)
        return;
    failed = true;
    notifier->setEnabled(false);
    Log::error(QStringLiteral("Wayland: the connection to the compositor broke (error %1)")
                   .arg(wl_display_get_error(connection)));
}
