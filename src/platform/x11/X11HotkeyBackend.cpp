#include "platform/x11/X11HotkeyBackend.h"

#include "platform/Log.h"
#include "platform/x11/X11Connection.h"

#include <QChar>
#include <QCoreApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A grab another client holds fails with BadAccess, which is what the seam calls taken.
static_assert(HotkeyBackend::taken == XCB_ACCESS);

namespace {

// Keyboard state bits that carry modifiers (the higher bits are mouse buttons).
constexpr uint16_t modifierBits = 0xff;

// The modifier bit (Mod1 … Mod5) the keyboard map assigns to `keysym`, 0 when none.
uint16_t maskOf(Display *dpy, KeySym keysym)
{
    const KeyCode wanted = XKeysymToKeycode(dpy, keysym);
    XModifierKeymap *map = XGetModifierMapping(dpy);
    if (!map || wanted == 0) {
        if (map)
            XFreeModifiermap(map);
        return 0;
    }
    uint16_t mask = 0;
    for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            if (map->modifiermap[modifier * map->max_keypermod + i] == wanted) {
                mask = uint16_t(1u << modifier);
                break;
            }
        }
    }
    XFreeModifiermap(map);
    return mask;
}

uint16_t numLockMask(Display *dpy)
{
    return maskOf(dpy, XK_Num_Lock);
}

// The modifier bits of `modifiers` in this keyboard map; absent when one of them has no bit (an Alt key that
// is not a modifier), since a grab without it would take the key with fewer modifiers than asked.
std::optional<uint16_t> x11Modifiers(Display *dpy, Qt::KeyboardModifiers modifiers)
{
    uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    const std::pair<Qt::KeyboardModifier, KeySym> mapped[] = {{Qt::AltModifier, XK_Alt_L},
                                                              {Qt::MetaModifier, XK_Super_L}};
    for (const auto &[modifier, keysym] : mapped) {
        if (!(modifiers & modifier))
            continue;
        const uint16_t bit = maskOf(dpy, keysym);
        if (bit == 0) {
            Log::write("INFO", std::string("X11HotkeyBackend: ") + XKeysymToString(keysym) +
                                   " is no modifier in this keyboard map — the key is not grabbed");
            return std::nullopt;
        }
        mask |= bit;
    }
    return mask;
}

// The exact modifier states a grab of `mask` must cover so that Caps Lock and Num Lock do not matter, each once.
std::vector<uint16_t> lockVariants(Display *dpy, uint16_t mask)
{
    const uint16_t numLock = numLockMask(dpy);
    std::vector<uint16_t> variants;
    for (const uint16_t lock : {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK), numLock, uint16_t(XCB_MOD_MASK_LOCK | numLock)}) {
        const uint16_t variant = mask | lock;
        if (std::find(variants.begin(), variants.end(), variant) == variants.end())
            variants.push_back(variant);
    }
    return variants;
}

KeySym keysymOf(Qt::Key key)
{
    if (key == Qt::Key_Escape)
        return XK_Escape;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return XK_F1 + (key - Qt::Key_F1);
    // Latin-1 keys share their codes with X keysyms, which name letters by their lower case.
    if (key >= 0x20 && key <= 0xff)
        return QChar(key).toLower().unicode();
    return NoSymbol;
}

int grabKey(xcb_connection_t *conn, xcb_keycode_t keycode, uint16_t modifiers)
{
    // owner_events 0: the press comes here even when one of this program's own windows has the focus.
    const auto cookie = xcb_grab_key_checked(conn, 0, X11Connection::rootWindow(), modifiers, keycode,
                                             XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(xcb_request_check(conn, cookie), &std::free);
    return error ? error->error_code : 0;
}

} // namespace

X11HotkeyBackend::~X11HotkeyBackend()
{
    for (const Grab &grab : grabs)
        ungrab(grab);
    if (installed)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

int X11HotkeyBackend::install(std::function<void(int id)> onPressed)
{
    if (!X11Connection::connection() || !QCoreApplication::instance())
        return unavailable;
    pressed = std::move(onPressed);
    if (!installed)
        QCoreApplication::instance()->installNativeEventFilter(this);
    installed = true;
    return 0;
}

int X11HotkeyBackend::registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    Display *dpy = X11Connection::display();
    xcb_connection_t *conn = X11Connection::connection();
    if (!dpy || !conn)
        return unavailable;
    const KeySym keysym = keysymOf(key);
    const xcb_keycode_t keycode = keysym == NoSymbol ? 0 : XKeysymToKeycode(dpy, keysym);
    if (keycode == 0)
        return unavailable;

    const std::optional<uint16_t> mask = x11Modifiers(dpy, modifiers);
    if (!mask)
        return unavailable;
    Grab grab{id, keycode, *mask, lockVariants(dpy, *mask)};
    for (size_t i = 0; i < grab.variants.size(); ++i) {
        const int status = grabKey(conn, keycode, grab.variants[i]);
        if (status != 0) {
            for (size_t j = 0; j < i; ++j)
                xcb_ungrab_key(conn, keycode, X11Connection::rootWindow(), grab.variants[j]);
            xcb_flush(conn);
            return status;
        }
    }
    grabs.push_back(std::move(grab));
    return 0;
}

void X11HotkeyBackend::unregisterKey(int id)
{
    for (auto it = grabs.begin(); it != grabs.end();) {
        if (it->id != id) {
            ++it;
            continue;
        }
        ungrab(*it);
        it = grabs.erase(it);
    }
}

void X11HotkeyBackend::ungrab(const Grab &grab)
{
    xcb_connection_t *conn = X11Connection::connection();
    if (!conn)
        return;
    for (const uint16_t variant : grab.variants)
        xcb_ungrab_key(conn, grab.keycode, X11Connection::rootWindow(), variant);
    xcb_flush(conn);
}

bool X11HotkeyBackend::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const uint8_t type = event->response_type & ~0x80;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    return handleKey(*reinterpret_cast<const xcb_key_press_event_t *>(event), type == XCB_KEY_PRESS);
}

bool X11HotkeyBackend::handleKey(const xcb_key_press_event_t &event, bool press)
{
    if (event.event != X11Connection::rootWindow())
        return false;
    Display *dpy = X11Connection::display();
    const uint16_t locks = uint16_t(XCB_MOD_MASK_LOCK | numLockMask(dpy));
    const uint16_t state = event.state & modifierBits & ~locks;
    for (Grab &grab : grabs) {
        if (grab.keycode != event.detail)
            continue;
        if (!press) {
            // Modifiers may have been let go first: a release of the key counts whatever the state.
            grab.lastRelease = event.time;
            return true;
        }
        if (state != grab.modifiers)
            continue;
        // A held key repeats as release+press pairs that share one time stamp; only the first press counts.
        const bool repeat = grab.lastRelease != 0 && grab.lastRelease == event.time;
        if (!repeat && pressed) {
            // Queued, so that what the press starts never runs inside Qt's event dispatch.
            QMetaObject::invokeMethod(
                this, [this, id = grab.id] { pressed(id); }, Qt::QueuedConnection);
        }
        return true;
    }
    return false;
}
