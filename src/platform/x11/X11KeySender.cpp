#include "platform/x11/X11KeySender.h"

#include "platform/Terminals.h"
#include "platform/x11/X11Connection.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

void sendKey(Display *dpy, KeyCode code, bool down)
{
    XTestFakeKeyEvent(dpy, code, down ? True : False, CurrentTime);
}

// The hot key's Alt (or any other modifier) may still be held when the paste goes out, and Ctrl+Alt+V is no
// paste: let go of every held modifier key except the lock keys, whose state is a mode, not a press.
void releaseHeldModifiers(Display *dpy)
{
    char pressed[32];
    XQueryKeymap(dpy, pressed);
    XModifierKeymap *map = XGetModifierMapping(dpy);
    if (!map)
        return;
    for (int modifier = 0; modifier < 8; ++modifier) {
        if (modifier == LockMapIndex)
            continue;
        for (int i = 0; i < map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[modifier * map->max_keypermod + i];
            if (code == 0 || !(pressed[code / 8] & (1 << (code % 8))))
                continue;
            if (XkbKeycodeToKeysym(dpy, code, 0, 0) == XK_Num_Lock)
                continue;
            sendKey(dpy, code, false);
        }
    }
    XFreeModifiermap(map);
}

} // namespace

bool X11KeySender::isTrusted() const
{
    Display *dpy = X11Connection::display();
    if (!dpy)
        return false;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(dpy, &eventBase, &errorBase, &major, &minor);
}

void X11KeySender::postPaste(const RunningApp &target)
{
    Display *dpy = X11Connection::display();
    if (!dpy)
        return;
    const KeyCode codes[] = {XKeysymToKeycode(dpy, XK_Control_L), XKeysymToKeycode(dpy, XK_Shift_L),
                             XKeysymToKeycode(dpy, XK_v)};
    releaseHeldModifiers(dpy);
    pressPasteChord(target, [&](ChordKey key, bool down) { sendKey(dpy, codes[int(key)], down); });
    XFlush(dpy);
}
