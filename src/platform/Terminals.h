#pragma once

#include "platform/Workspace.h"

#include <QString>

#include <functional>

// Whether `windowClass` (WM_CLASS's class part, or a Wayland app id) is a terminal emulator, where Ctrl+V is a
// character of its own and the paste chord is Ctrl+Shift+V.
bool isTerminal(const QString &windowClass);

// The keys of the paste chord.
enum class ChordKey { control, shift, v };
// Presses and lets go of the paste chord `target` understands through `key`: Ctrl+V, or Ctrl+Shift+V into a
// terminal.
void pressPasteChord(const RunningApp &target, const std::function<void(ChordKey key, bool down)> &key);
