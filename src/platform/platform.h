#pragma once

#include "platform/accessibility.h"
#include "platform/desktopshortcuts.h"
#include "platform/frontmostapplication.h"
#include "platform/globalhotkeys.h"
#include "platform/keyboardsynthesizer.h"
#include "platform/loginitem.h"
#include "platform/mousedownmonitor.h"
#include "platform/pasteboard.h"
#include "platform/screencapture.h"
#include "platform/screens.h"
#include "platform/secretstore.h"

#include <memory>

// The desktop facilities the core uses: the X11 backends when Qt runs on xcb, the portal backends when it runs
// on Wayland, backends that report a facility as unavailable where neither offers it, fakes in tests. The application
// builds one set and hands it out; whoever uses a facility is given it.
class Platform {
public:
    std::unique_ptr<Screens> screens;
    std::unique_ptr<MouseDownMonitor> mouseDownMonitor;
    std::unique_ptr<FrontmostApplication> frontmostApplication;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<Pasteboard> pasteboard;
    std::unique_ptr<KeyboardSynthesizer> keyboard;
    std::unique_ptr<GlobalHotkeys> globalHotkeys;
    std::unique_ptr<LoginItem> loginItem;
    std::unique_ptr<ScreenCapture> screenCapture;
    // Null except on a desktop where the user may let Quillora bind its keys in the desktop's own settings.
    std::unique_ptr<DesktopShortcuts> desktopShortcuts;
    // The desktop's keyring.
    std::unique_ptr<SecretStore> secrets;

    // The backends for the session Qt runs in (needs a QGuiApplication). program: the executable that users, the
    // desktop's shortcuts and autostart start (empty: this one).
    static std::unique_ptr<Platform> createForSession(const QString& program = {});
};
