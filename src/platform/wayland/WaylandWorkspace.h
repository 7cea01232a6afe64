#pragma once

#include "platform/Workspace.h"

#include <QString>

#include <map>
#include <memory>

struct zwlr_foreign_toplevel_handle_v1;
struct zwlr_foreign_toplevel_manager_v1;

// The desktop's windows on Wayland. Where the compositor lists its windows (the foreign-toplevel protocol of
// wlroots desktops) the focused one is known by its application id and can be brought back to the front.
// Elsewhere only XWayland windows can be told apart (through `x11`); a native window then counts as an unknown
// application that keeps the focus, so the paste goes wherever the user is typing.
class WaylandWorkspace : public Workspace
{
public:
    explicit WaylandWorkspace(std::unique_ptr<Workspace> x11);
    ~WaylandWorkspace() override;

    std::optional<RunningApp> frontmost() const override;
    bool isTerminated(const RunningApp &app) const override;
    void activate(const RunningApp &app) override;
    qint64 ownPid() const override { return x11->ownPid(); }

    struct Window
    {
        quint64 id = 0;
        QString appId, pendingAppId;
        bool activated = false, pendingActivated = false;
    };
    // Called by the protocol's listeners.
    void added(zwlr_foreign_toplevel_handle_v1 *handle);
    Window &window(zwlr_foreign_toplevel_handle_v1 *handle) { return windows[handle]; }
    void closed(zwlr_foreign_toplevel_handle_v1 *handle);

private:
    std::unique_ptr<Workspace> x11;
    zwlr_foreign_toplevel_manager_v1 *manager = nullptr;
    std::map<zwlr_foreign_toplevel_handle_v1 *, Window> windows;
    quint64 nextId = 1;
};
