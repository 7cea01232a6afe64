#include "platform/wayland/WaylandKeySender.h"

#include "platform/Log.h"
#include "platform/Terminals.h"
#include "platform/wayland/WaylandConnection.h"

#include <QElapsedTimer>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <iterator>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// The virtual-keyboard protocol (zwp_virtual_keyboard_unstable_v1). Its description is not packaged for this
// system, so its two interfaces are declared here, request by request, as the protocol defines them.
extern const wl_interface virtualKeyboardInterface;
const wl_interface *requestTypes[] = {
    nullptr, nullptr, nullptr, nullptr, &wl_seat_interface, &virtualKeyboardInterface};
const wl_message keyboardRequests[] = {
    {"keymap", "uhu", requestTypes},     // format, fd, size
    {"key", "uuu", requestTypes},        // time, key, state
    {"modifiers", "uuuu", requestTypes}, // depressed, latched, locked, group
    {"destroy", "", requestTypes},
};
const wl_interface virtualKeyboardInterface = {"zwp_virtual_keyboard_v1", 1, 4, keyboardRequests, 0, nullptr};
const wl_message managerRequests[] = {{"create_virtual_keyboard", "on", requestTypes + 4}};
const wl_interface virtualKeyboardManagerInterface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, managerRequests, 0, nullptr};
enum Request : quint32 { keymapRequest, keyRequest, modifiersRequest, destroyRequest };

// The keycode that gives `keysym` on the first level of the first layout; 0 when none does.
xkb_keycode_t keycodeOf(xkb_keymap *keymap, xkb_keysym_t keysym)
{
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
        const xkb_keysym_t *syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
        if (count > 0 && syms[0] == keysym)
            return code;
    }
    return 0;
}

quint32 now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return static_cast<quint32>(clock.elapsed());
}

} // namespace

bool WaylandKeySender::available()
{
    WaylandConnection *wayland = WaylandConnection::instance();
    return wayland && wayland->seat() && wayland->offers(virtualKeyboardManagerInterface.name);
}

WaylandKeySender::WaylandKeySender()
{
    WaylandConnection *wayland = WaylandConnection::instance();
    auto *manager = wayland ? static_cast<wl_proxy *>(wayland->bind(&virtualKeyboardManagerInterface, 1)) : nullptr;
    if (!manager || !wayland->seat())
        return;
    // The desktop's default layout (XKB_DEFAULT_LAYOUT and the like, else the system's), full, with every
    // modifier; US English when that layout has no Latin V to press (a Russian-only layout, say).
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    keymap = context ? xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    if (context && (!keymap || !keycodeOf(keymap, XKB_KEY_v))) {
        xkb_keymap_unref(keymap);
        const xkb_rule_names latin{nullptr, nullptr, "us", nullptr, nullptr};
        keymap = xkb_keymap_new_from_names(context, &latin, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    xkb_context_unref(context);
    if (keymap)
        for (const auto &[chordKey, keysym] : {std::pair{ChordKey::control, XKB_KEY_Control_L},
                                               {ChordKey::shift, XKB_KEY_Shift_L},
                                               {ChordKey::v, XKB_KEY_v}})
            chordKeys[int(chordKey)] = keycodeOf(keymap, keysym);
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    const int fd = text ? memfd_create("talvane-keymap", MFD_CLOEXEC) : -1;
    const size_t size = text ? strlen(text) + 1 : 0;
    if (fd < 0 || ::write(fd, text, size) != static_cast<ssize_t>(size) ||
        std::count(std::begin(chordKeys), std::end(chordKeys), 0u) > 0) {
        Log::error(QStringLiteral("Wayland: no keymap with Ctrl, Shift and V for the virtual keyboard"));
        free(text);
        if (fd >= 0)
            ::close(fd);
        wl_proxy_destroy(manager);
        return;
    }
    free(text);
    keyboard = wl_proxy_marshal_flags(manager, 0, &virtualKeyboardInterface, 1, 0, wayland->seat(), nullptr);
    wl_proxy_marshal_flags(keyboard, keymapRequest, nullptr, 1, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, size);
    ::close(fd);
    wl_proxy_destroy(manager);
    state = xkb_state_new(keymap);
    // A refusal (the compositor may restrict virtual keyboards) arrives as a protocol error: find out now.
    if (!wayland->roundtrip()) {
        keyboard = nullptr;
        return;
    }
    Log::info(QStringLiteral("Wayland: virtual keyboard ready"));
}

WaylandKeySender::~WaylandKeySender()
{
    if (keyboard && WaylandConnection::instance())
        wl_proxy_marshal_flags(keyboard, destroyRequest, nullptr, 1, WL_MARSHAL_FLAG_DESTROY);
    xkb_state_unref(state);
    xkb_keymap_unref(keymap);
}

void WaylandKeySender::key(quint32 keycode, bool down)
{
    // Evdev key codes are the keymap's minus 8; the modifier state follows from the keymap.
    wl_proxy_marshal_flags(keyboard, keyRequest, nullptr, 1, 0, now(), keycode - 8, down ? 1u : 0u);
    xkb_state_update_key(state, keycode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    wl_proxy_marshal_flags(
        keyboard, modifiersRequest, nullptr, 1, 0, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED), xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
}

void WaylandKeySender::postPaste(const RunningApp &target)
{
    WaylandConnection *wayland = WaylandConnection::instance();
    if (!keyboard || !wayland)
        return;
    // Keys still held on the physical keyboard (the hot key's Alt) belong to that keyboard's state, not this
    // one's: the focused window sees only these modifiers while these keys arrive.
    pressPasteChord(target, [this](ChordKey chordKey, bool down) { key(chordKeys[int(chordKey)], down); });
    wayland->flush();
}
