#pragma once

#include <QByteArray>

#include <xcb/xcb.h>

#include <optional>

typedef struct _XDisplay Display;

// The X connection Qt opened for this application, and the few property reads the seams share.
namespace X11Connection {

// Null when the application does not run on an X server (no QGuiApplication, or another platform).
Display *display();
xcb_connection_t *connection();
xcb_window_t rootWindow();

xcb_atom_t atom(const char *name);
// The same on a connection of its own (one a worker or a helper opened).
xcb_atom_t atom(xcb_connection_t *connection, const char *name);
// The raw value of `property` on `window`, when it exists with the given type.
std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
// The first 32-bit value of a CARDINAL or WINDOW property.
std::optional<quint32> property32(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);

} // namespace X11Connection
