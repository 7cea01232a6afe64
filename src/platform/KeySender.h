#pragma once

#include "platform/Workspace.h"

// Synthetic key presses into the focused application.
class KeySender
{
public:
    virtual ~KeySender() = default;

    // Whether this process may send synthetic key presses at all.
    virtual bool isTrusted() const = 0;
    // Asks the system to show its permission prompt for synthetic key presses.
    virtual void promptForTrust() = 0;
    // Sends the paste chord that `target` understands, after letting go of modifiers still held.
    virtual void postPaste(const RunningApp &target) = 0;
};
