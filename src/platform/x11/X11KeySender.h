#pragma once

#include "platform/KeySender.h"

// Synthetic key presses through the XTEST extension. X11 has no permission for them: a client that reaches the
// X server and finds XTEST may send them.
class X11KeySender : public KeySender
{
public:
    bool isTrusted() const override;
    // Nothing to ask on X11: untrusted means no X server or no XTEST, which no prompt can change.
    void promptForTrust() override {}
    // Ctrl+V, or Ctrl+Shift+V for terminal emulators, where Ctrl+V is a character of its own.
    void postPaste(const RunningApp &target) override;
};
