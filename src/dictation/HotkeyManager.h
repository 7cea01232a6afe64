#pragma once

#include "platform/HotkeyBackend.h"

#include <functional>
#include <memory>

// The program's two system-wide keys: Alt+Space starts and stops a dictation wherever the user types, and
// Escape cancels one, taken from the system only while a dictation runs so that it keeps working elsewhere.
// The manager only reports presses; what they do is the controller's business.
class HotkeyManager
{
public:
    // Installs the press handler and registers Alt+Space. Never fails: failures are logged and show in
    // toggleRegistered().
    explicit HotkeyManager(std::unique_ptr<HotkeyBackend> backend);
    // Lets go of both keys, so that no press reaches a destroyed manager.
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager &) = delete;
    HotkeyManager &operator=(const HotkeyManager &) = delete;

    // Registers Escape when `enabled` and not registered yet; unregisters it when not `enabled` and registered.
    void setCancelEnabled(bool enabled);

    bool toggleRegistered() const { return toggleKeyRegistered; }

    // Called on the GUI thread for each press of Alt+Space, and of Escape while it is registered.
    std::function<void()> onToggle;
    std::function<void()> onCancel;

    static constexpr int toggleId = 1;
    static constexpr int cancelId = 2;

private:
    void pressed(int id);

    std::unique_ptr<HotkeyBackend> backend;
    bool toggleKeyRegistered = false;
    bool cancelKeyRegistered = false;
};
