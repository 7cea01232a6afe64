#include "platform/x11/X11Connection.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace X11Connection {

namespace {

QNativeInterface::QX11Application *native()
{
    if (!qGuiApp)
        return nullptr;
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
}

} // namespace

Display *display()
{
    auto *x11 = native();
    return x11 ? x11->display() : nullptr;
}

xcb_connection_t *connection()
{
    auto *x11 = native();
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow()
{
    Display *dpy = display();
    return dpy ? xcb_window_t(DefaultRootWindow(dpy)) : xcb_window_t(XCB_WINDOW_NONE);
}

xcb_atom_t atom(const char *name)
{
    return atom(connection(), name);
}

xcb_atom_t atom(xcb_connection_t *conn, const char *name)
{
    if (!conn)
        return XCB_ATOM_NONE;
    const auto cookie = xcb_intern_atom(conn, 0, std::strlen(name), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(xcb_intern_atom_reply(conn, cookie, nullptr),
                                                                         &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
{
    xcb_connection_t *conn = connection();
    if (!conn || window == XCB_WINDOW_NONE)
        return std::nullopt;
    // Window titles and classes are short; 64 KiB of 32-bit units is more than any of them.
    const auto cookie = xcb_get_property(conn, 0, window, property, type, 0, 16384);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(xcb_get_property_reply(conn, cookie, nullptr),
                                                                          &std::free);
    if (!reply || reply->type != type)
        return std::nullopt;
    const auto *bytes = static_cast<const char *>(xcb_get_property_value(reply.get()));
    return QByteArray(bytes, xcb_get_property_value_length(reply.get()));
}

std::optional<quint32> property32(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    const auto value = property(window, name, type);
    if (!value || value->size() < 4)
        return std::nullopt;
    quint32 result = 0;
    std::memcpy(&result, value->constData(), sizeof result);
    return result;
}

} // namespace X11Connection
