#pragma once

#include "platform/Workspace.h"

// The frontmost application by EWMH: the window manager's _NET_ACTIVE_WINDOW, its _NET_WM_PID and the class
// part of its WM_CLASS.
class X11Workspace : public Workspace
{
public:
    std::optional<RunningApp> frontmost() const override;
    bool isTerminated(const RunningApp &app) const override;
    void activate(const RunningApp &app) override;
    qint64 ownPid() const override;
};
