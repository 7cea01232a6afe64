#pragma once

#include "platform/WindowLocator.h"

#include <QtGlobal>

struct xcb_connection_t;

// Finds windows through the window manager's EWMH properties: the stacking order of the
// managed windows and each window's _NET_WM_PID. Uses a connection of its own to the
// display named by DISPLAY, so it works whatever Qt platform plugin runs.
class X11WindowLocator : public WindowLocator
{
public:
    X11WindowLocator();
    ~X11WindowLocator() override;
    X11WindowLocator(const X11WindowLocator &) = delete;
    X11WindowLocator &operator=(const X11WindowLocator &) = delete;

    std::optional<QRect> frontWindow(qint64 pid) const override;
    bool compositing() const override;

private:
    xcb_connection_t *connection = nullptr;
    int screenNumber = 0;
    quint32 root = 0;
};
