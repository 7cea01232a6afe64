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
    // Whether someone can grant what isTrusted() lacks. Where no one can (the desktop offers programs no way to
    // send keys at all), the text is left on the clipboard for the user to paste.
    virtual bool canPrompt() const { return true; }
};

// A desktop that offers no way to send keys.
class NoKeySender : public KeySender
{
public:
    bool isTrusted() const override { return false; }
    void promptForTrust() override {}
    void postPaste(const RunningApp &) override {}
    bool canPrompt() const override { return false; }
};
