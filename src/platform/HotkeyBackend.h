#pragma once

#include <Qt>

#include <functional>

// System-wide hot keys: key presses that reach this program whichever application has the focus.
class HotkeyBackend
{
public:
    // The status registerKey reports when another program holds the key already.
    static constexpr int taken = 10;
    // The status registerKey reports when the key or a modifier cannot be pressed on this keyboard (or there is
    // no keyboard to ask).
    static constexpr int unavailable = -1;

    virtual ~HotkeyBackend() = default;

    // Starts delivering presses of registered keys, by id, to `pressed` on the GUI thread.
    // Returns 0, or a non-zero status when presses cannot be received.
    virtual int install(std::function<void(int id)> pressed) = 0;
    // Registers `key` with exactly `modifiers` (lock keys do not matter) under `id`.
    // Returns 0, `taken`, `unavailable`, or another non-zero platform status; on failure nothing stays registered.
    virtual int registerKey(int id, Qt::Key key, Qt::KeyboardModifiers modifiers) = 0;
    virtual void unregisterKey(int id) = 0;

    // Called on the GUI thread when a key registerKey took is lost later, with its id and a status as
    // registerKey's: a backend that asks the desktop asynchronously learns only then that it was refused.
    // Nothing stays registered under that id.
    std::function<void(int id, int status)> lost;
};
