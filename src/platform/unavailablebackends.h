#pragma once

#include "platform/platform.h"

// Backends for a session without a supported desktop interface: every facility answers "not available".
std::unique_ptr<Screens> makeQtScreens();
std::unique_ptr<MouseDownMonitor> makeUnavailableMouseDownMonitor();
std::unique_ptr<FrontmostApplication> makeUnavailableFrontmostApplication();
std::unique_ptr<Accessibility> makeUnavailableAccessibility();
std::unique_ptr<Pasteboard> makeUnavailablePasteboard();
std::unique_ptr<KeyboardSynthesizer> makeUnavailableKeyboard();
std::unique_ptr<GlobalHotkeys> makeUnavailableGlobalHotkeys();
std::unique_ptr<ScreenCapture> makeUnavailableScreenCapture();
