#include "dictation/HotkeyManager.h"

#include "platform/Log.h"

#include <string>

HotkeyManager::HotkeyManager(std::unique_ptr<HotkeyBackend> hotkeyBackend) : backend(std::move(hotkeyBackend))
{
    const int installStatus = backend->install([this](int id) { pressed(id); });
    if (installStatus != 0)
        Log::write("INFO", "InstallEventHandler failed, status=" + std::to_string(installStatus));

    const int status = backend->registerKey(toggleId, Qt::Key_Space, Qt::AltModifier);
    toggleKeyRegistered = status == 0;
    if (!toggleKeyRegistered)
        Log::write("INFO", "RegisterEventHotKey(Option+Space) failed, status=" + std::to_string(status));
}

HotkeyManager::~HotkeyManager()
{
    if (cancelKeyRegistered)
        backend->unregisterKey(cancelId);
    if (toggleKeyRegistered)
        backend->unregisterKey(toggleId);
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

void HotkeyManager::pressed(int id)
{
    if (id == toggleId && onToggle)
        onToggle();
    else if (id == cancelId && cancelKeyRegistered && onCancel)
        onCancel();
}
