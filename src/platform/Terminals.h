#pragma once

#include <QString>

// Whether `windowClass` (WM_CLASS's class part, or a Wayland app id) is a terminal emulator, where Ctrl+V is a
// character of its own and the paste chord is Ctrl+Shift+V.
bool isTerminal(const QString &windowClass);
