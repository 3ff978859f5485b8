#pragma once

#include <QCoroTask>

// Sends key strokes to the application that has the keyboard focus.
class KeyboardSynthesizer {
public:
    virtual ~KeyboardSynthesizer() = default;
    // Waits for held modifiers to be released (or clears them), then sends Ctrl+C, or Ctrl+Shift+C to a
    // terminal emulator, where Ctrl+C would interrupt the running program. False when nothing could be sent.
    virtual QCoro::Task<bool> sendCopyShortcut(bool toTerminal) = 0;
    // Whether a copy shortcut can be sent at all on this desktop (without putting a dialog in front of the user).
    virtual bool canSendCopyShortcut() const { return true; }
};
