#pragma once

#include "platform/KeySender.h"

#include <QByteArray>

struct wl_proxy;
struct xkb_keymap;

// Synthetic key presses through the virtual-keyboard protocol (wlroots desktops: sway, Hyprland, river). The
// keyboard carries a complete keymap of the desktop's default layout: a keymap of only the keys sent gets its
// shortcuts ignored by some toolkits while a real keyboard is present.
class WaylandKeySender : public KeySender
{
public:
    // Whether the compositor offers virtual keyboards.
    static bool available();
    WaylandKeySender();
    ~WaylandKeySender() override;

    bool isTrusted() const override { return keyboard != nullptr; }
    void promptForTrust() override {}
    void postPaste(const RunningApp &target) override;

private:
    void key(quint32 keycode, bool down);

    wl_proxy *keyboard = nullptr;
    xkb_keymap *keymap = nullptr;
    quint32 chordKeys[3] = {}; // the keymap's codes for Ctrl, Shift and V, in ChordKey's order
    struct xkb_state *state = nullptr;
};
