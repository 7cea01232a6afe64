#pragma once

#include "platform/HotkeyBackend.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <xcb/xcb.h>

#include <vector>

// Hot keys as passive key grabs on the root window. A grab covers one exact modifier state, so each key is
// grabbed plain, with Caps Lock, with Num Lock and with both (fewer when the keyboard map has no Num Lock).
// Another client's grab of any of them fails the registration (BadAccess) and the variants already grabbed
// are let go; so does a modifier the keyboard map lacks.
class X11HotkeyBackend : public QObject, public HotkeyBackend, private QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    X11HotkeyBackend() = default;
    ~X11HotkeyBackend() override;

    int install(std::function<void(int id)> pressed) override;
    int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) override;
    void unregisterKey(int id) override;

private:
    struct Grab
    {
        int id;
        xcb_keycode_t keycode;
        uint16_t modifiers;
        std::vector<uint16_t> variants; // the modifier states grabbed
        xcb_timestamp_t lastRelease = 0;
    };

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;
    bool handleKey(const xcb_key_press_event_t &event, bool press);
    void ungrab(const Grab &grab);

    std::function<void(int id)> pressed;
    std::vector<Grab> grabs;
    bool installed = false;
};
