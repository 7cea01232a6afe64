#include "X11WindowLocator.h"

#include "platform/x11/X11Connection.h"

#include <QGuiApplication>
#include <QScreen>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply> ReplyPtr<Reply> own(Reply *reply)
{
    return ReplyPtr<Reply>(reply, &std::free);
}

// The 32-bit values of a window property, empty when it is missing or of another format.
std::vector<quint32> cardinals(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
{
    if (property == XCB_ATOM_NONE)
        return {};
    const auto cookie = xcb_get_property(c, 0, window, property, type, 0, 4096);
    const auto reply = own(xcb_get_property_reply(c, cookie, nullptr));
    if (!reply || reply->format != 32)
        return {};
    const auto *values = static_cast<const quint32 *>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

bool contains(const std::vector<quint32> &values, xcb_atom_t value)
{
    return value != XCB_ATOM_NONE && std::find(values.begin(), values.end(), value) != values.end();
}

// X11 reports device pixels; each Qt screen keeps its top-left corner in device pixels and
// scales its size by its device pixel ratio.
QPoint toLogical(QPoint native)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const QRect device(logical.topLeft(), logical.size() * screen->devicePixelRatio());
        if (device.contains(native))
            return logical.topLeft() + (native - logical.topLeft()) / screen->devicePixelRatio();
    }
    return native;
}

} // namespace

X11WindowLocator::X11WindowLocator()
{
    connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection))
        return;
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && roots.rem > 0; ++i)
        xcb_screen_next(&roots);
    if (roots.rem > 0)
        root = roots.data->root;
}

X11WindowLocator::~X11WindowLocator()
{
    xcb_disconnect(connection);
}

std::optional<QRect> X11WindowLocator::frontWindow(qint64 pid) const
{
    if (root == 0 || xcb_connection_has_error(connection))
        return std::nullopt;
    xcb_connection_t *c = connection;
    const xcb_atom_t pidAtom = X11Connection::atom(c, "_NET_WM_PID");
    const xcb_atom_t typeAtom = X11Connection::atom(c, "_NET_WM_WINDOW_TYPE");
    const xcb_atom_t stateAtom = X11Connection::atom(c, "_NET_WM_STATE");
    const std::vector<quint32> unusualLayers = {X11Connection::atom(c, "_NET_WM_WINDOW_TYPE_DESKTOP"),
                                                X11Connection::atom(c, "_NET_WM_WINDOW_TYPE_DOCK")};
    const xcb_atom_t hidden = X11Connection::atom(c, "_NET_WM_STATE_HIDDEN");

    // Bottom to top; walk it from the top to find the front window.
    const auto stacking = cardinals(c, root, X11Connection::atom(c, "_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
        const xcb_window_t window = *it;
        const auto owner = cardinals(c, window, pidAtom, XCB_ATOM_CARDINAL);
        if (owner.empty() || owner.front() != pid)
            continue;
        const auto types = cardinals(c, window, typeAtom, XCB_ATOM_ATOM);
        if (std::any_of(types.begin(), types.end(), [&](quint32 t) { return contains(unusualLayers, t); }))
            continue;
        if (contains(cardinals(c, window, stateAtom, XCB_ATOM_ATOM), hidden))
            continue;
        const auto attributes = own(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        const auto geometry = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
        const auto origin =
            own(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr));
        if (!geometry || !origin)
            continue;
        const QPoint topLeft = toLogical(QPoint(origin->dst_x, origin->dst_y));
        const QPoint bottomRight = toLogical(QPoint(origin->dst_x + geometry->width, origin->dst_y + geometry->height));
        return QRect(topLeft, bottomRight - QPoint(1, 1));
    }
    return std::nullopt;
}

bool X11WindowLocator::compositing() const
{
    if (root == 0 || xcb_connection_has_error(connection))
        return false;
    const xcb_atom_t selection = X11Connection::atom(connection, ("_NET_WM_CM_S" + std::to_string(screenNumber)).c_str());
    if (selection == XCB_ATOM_NONE)
        return false;
    const auto reply =
        own(xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return reply && reply->owner != XCB_WINDOW_NONE;
}
