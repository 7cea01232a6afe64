#include "platform/wayland/WaylandWorkspace.h"

#include "platform/wayland/WaylandConnection.h"

#include <wayland-client.h>
#include <wlr-foreign-toplevel-management-unstable-v1.h>

namespace {

WaylandWorkspace *of(void *data)
{
    return static_cast<WaylandWorkspace *>(data);
}

const zwlr_foreign_toplevel_handle_v1_listener windowListener{
    [](void *, zwlr_foreign_toplevel_handle_v1 *, const char *) {}, // title
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *appId) {
        of(data)->window(handle).pendingAppId = QString::fromUtf8(appId);
    },
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {}, // output_enter
    [](void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {}, // output_leave
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_array *states) {
        bool activated = false;
        const auto *state = static_cast<const uint32_t *>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            activated = activated || state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
        of(data)->window(handle).pendingActivated = activated;
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) { // done: the pending state applies together
        WaylandWorkspace::Window &window = of(data)->window(handle);
        window.appId = window.pendingAppId;
        window.activated = window.pendingActivated;
    },
    [](void *data, zwlr_foreign_toplevel_handle_v1 *handle) { of(data)->closed(handle); },
    [](void *, zwlr_foreign_toplevel_handle_v1 *, zwlr_foreign_toplevel_handle_v1 *) {}, // parent
};

// The manager outlives its workspace until the compositor has seen the stop (see the destructor): windows it
// announces meanwhile are let go at once.
const zwlr_foreign_toplevel_manager_v1_listener managerListener{
    [](void *data, zwlr_foreign_toplevel_manager_v1 *, zwlr_foreign_toplevel_handle_v1 *handle) {
        if (data)
            of(data)->added(handle);
        else
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
    },
    [](void *, zwlr_foreign_toplevel_manager_v1 *manager) { zwlr_foreign_toplevel_manager_v1_destroy(manager); }};

} // namespace

WaylandWorkspace::WaylandWorkspace(std::unique_ptr<Workspace> x11) : x11(std::move(x11))
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (wayland)
        manager = static_cast<zwlr_foreign_toplevel_manager_v1 *>(
            wayland->bind(&zwlr_foreign_toplevel_manager_v1_interface, 3));
    if (!manager)
        return;
    zwlr_foreign_toplevel_manager_v1_add_listener(manager, &managerListener, this);
    wayland->roundtrip(); // the windows open now, with their states
    wayland->roundtrip();
}

WaylandWorkspace::~WaylandWorkspace()
{
    if (!manager || !WaylandConnection::instance())
        return;
    for (const auto &[handle, window] : windows)
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    // Windows announced until the compositor has seen the stop are new objects: the manager must still be there
    // to take them, and goes once the compositor says it is finished.
    wl_proxy_set_user_data(reinterpret_cast<wl_proxy *>(manager), nullptr);
    zwlr_foreign_toplevel_manager_v1_stop(manager);
}

void WaylandWorkspace::added(zwlr_foreign_toplevel_handle_v1 *handle)
{
    windows[handle].id = nextId++;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &windowListener, this);
}

void WaylandWorkspace::closed(zwlr_foreign_toplevel_handle_v1 *handle)
{
    windows.erase(handle);
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
}

std::optional<RunningApp> WaylandWorkspace::frontmost() const
{
    if (!manager) {
        const std::optional<RunningApp> x = x11->frontmost();
        return x ? x : std::optional(RunningApp{});
    }
    for (const auto &[handle, window] : windows) {
        if (window.activated)
            return RunningApp{0, window.appId, window.id};
    }
    return std::nullopt;
}

bool WaylandWorkspace::isTerminated(const RunningApp &app) const
{
    if (!manager)
        return app.window != 0 && x11->isTerminated(app);
    return std::none_of(windows.begin(), windows.end(),
                        [&](const auto &entry) { return entry.second.id == app.window; });
}

void WaylandWorkspace::activate(const RunningApp &app)
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (!manager) {
        if (app.window != 0)
            x11->activate(app);
        return;
    }
    for (const auto &[handle, window] : windows) {
        if (window.id == app.window && wayland && wayland->seat()) {
            zwlr_foreign_toplevel_handle_v1_activate(handle, wayland->seat());
            wayland->flush();
        }
    }
}
