#pragma once

#include "platform/keyboardsynthesizer.h"

#include <chrono>

// The copy shortcut through the XTEST extension.
class X11Keyboard final : public KeyboardSynthesizer {
public:
    // How long the user's own modifiers (the hot key's Alt) may stay held before they are released for them.
    static constexpr std::chrono::milliseconds modifierReleaseWait { 400 };

    QCoro::Task<bool> sendCopyShortcut(bool toTerminal) override;
};
