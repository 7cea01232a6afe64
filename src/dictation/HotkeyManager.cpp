#include "dictation/HotkeyManager.h"

#include "platform/Log.h"

#include <string>

HotkeyManager::HotkeyManager(std::unique_ptr<HotkeyBackend> hotkeyBackend, Hotkey wanted)
    : backend(std::move(hotkeyBackend)), toggle(wanted)
{
    backend->lost = [this](int id, int status) { keyLost(id, status); };
    const int installStatus = backend->install([this](int id) { pressed(id); });
    if (installStatus != 0)
        Log::write("INFO", "InstallEventHandler failed, status=" + std::to_string(installStatus));

    int status = registerToggle(toggle);
    if (status == HotkeyBackend::unavailable && toggle != Hotkey{}) {
        Log::info(QStringLiteral("Hotkey %1 cannot be pressed on this keyboard — using %2")
                      .arg(toggle.text(), Hotkey{}.text()));
        toggle = Hotkey{};
        status = registerToggle(toggle);
    }
    toggleKeyRegistered = status == 0;
}

HotkeyManager::~HotkeyManager()
{
    if (cancelKeyRegistered)
        backend->unregisterKey(cancelId);
    if (toggleKeyRegistered)
        backend->unregisterKey(toggleId);
}

int HotkeyManager::registerToggle(const Hotkey &key)
{
    const int status = backend->registerKey(toggleId, key.key, key.modifiers);
    if (status != 0)
        Log::info(QStringLiteral("RegisterEventHotKey(%1) failed, status=%2").arg(key.text()).arg(status));
    return status;
}

int HotkeyManager::changeToggle(const Hotkey &next)
{
    if (next == toggle && toggleKeyRegistered)
        return 0;
    // Let go first: the backend holds one registration per id.
    if (toggleKeyRegistered)
        backend->unregisterKey(toggleId);
    const int status = registerToggle(next);
    if (status == 0) {
        Log::info(QStringLiteral("Hotkey changed to ") + next.text());
        toggle = next;
        toggleKeyRegistered = true;
    } else if (toggleKeyRegistered) {
        toggleKeyRegistered = registerToggle(toggle) == 0;
    }
    return status;
}

void HotkeyManager::setCancelEnabled(bool enabled)
{
    if (enabled == cancelKeyRegistered)
        return;
    if (!enabled) {
        backend->unregisterKey(cancelId);
        cancelKeyRegistered = false;
        return;
    }
    const int status = backend->registerKey(cancelId, Qt::Key_Escape, Qt::NoModifier);
    cancelKeyRegistered = status == 0;
    if (!cancelKeyRegistered)
        Log::write("INFO", "RegisterEventHotKey(Escape) failed, status=" + std::to_string(status));
}

void HotkeyManager::keyLost(int id, int status)
{
    // A lost Escape is registered again by the next setCancelEnabled(true), as a refused one is.
    if (id == cancelId && cancelKeyRegistered) {
        cancelKeyRegistered = false;
        Log::write("INFO", "Hotkey Escape lost, status=" + std::to_string(status));
    } else if (id == toggleId && toggleKeyRegistered) {
        toggleKeyRegistered = false;
        Log::info(QStringLiteral("Hotkey %1 lost, status=%2").arg(toggle.text()).arg(status));
        if (onToggleLost)
            onToggleLost();
    }
}

void HotkeyManager::pressed(int id)
{
    if (id == toggleId && toggleKeyRegistered && onToggle)
        onToggle();
    else if (id == cancelId && cancelKeyRegistered && onCancel)
        onCancel();
}
