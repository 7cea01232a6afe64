#pragma once

#include "platform/HotkeyBackend.h"
#include "platform/KeyNames.h"

#include <functional>
#include <memory>

// The program's two system-wide keys: the dictation hot key (Alt+Space unless the user chose another) starts and
// stops a dictation wherever the user types, and Escape cancels one, taken from the system only while a dictation
// runs so that it keeps working elsewhere. The manager only reports presses; what they do is the controller's
// business.
class HotkeyManager
{
public:
    // Installs the press handler and registers `toggle`, or Alt+Space when `toggle` cannot be pressed on this
    // keyboard. Never fails: failures are logged and show in toggleRegistered().
    explicit HotkeyManager(std::unique_ptr<HotkeyBackend> backend, Hotkey toggle = {});
    // Lets go of both keys, so that no press reaches a destroyed manager.
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager &) = delete;
    HotkeyManager &operator=(const HotkeyManager &) = delete;

    // Moves the dictation to `next`: lets go of the current key and registers `next`. When `next` cannot be
    // had, the current key is registered again (or none is, when that fails too), so the dictation is never
    // bound to less than the user asked for. Returns the backend's status for `next`, 0 when it is held.
    int changeToggle(const Hotkey &next);

    // Registers Escape when `enabled` and not registered yet; unregisters it when not `enabled` and registered.
    void setCancelEnabled(bool enabled);

    bool toggleRegistered() const { return toggleKeyRegistered; }
    // The dictation hot key: held, or wanted when another program holds it.
    Hotkey toggleKey() const { return toggle; }

    // Called on the GUI thread for each press of the dictation hot key, and of Escape while it is registered.
    std::function<void()> onToggle;
    std::function<void()> onCancel;
    // Called on the GUI thread when the dictation hot key, registered at first, is lost later (the desktop
    // refused it or never answered); toggleRegistered() is false from then on.
    std::function<void()> onToggleLost;

    static constexpr int toggleId = 1;
    static constexpr int cancelId = 2;

private:
    void pressed(int id);
    void keyLost(int id, int status);
    int registerToggle(const Hotkey &key);

    std::unique_ptr<HotkeyBackend> backend;
    Hotkey toggle;
    bool toggleKeyRegistered = false;
    bool cancelKeyRegistered = false;
};
