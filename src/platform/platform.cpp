#include "platform/platform.h"

#include "platform/unavailablebackends.h"
#include "platform/x11/x11platform.h"
#include "platform/xdgautostartloginitem.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {
std::unique_ptr<Platform>& installed()
{
    static std::unique_ptr<Platform> platform;
    return platform;
}
} // namespace

Platform& Platform::current()
{
    if (!installed()) {
        installed() = createForSession();
        // The backends (the X connection's users, the AT-SPI worker thread) go while the application still
        // runs its shutdown, not after it among the static objects, where their threads can no longer end.
        qAddPostRoutine([] { installed().reset(); });
    }
    return *installed();
}

void Platform::install(std::unique_ptr<Platform> platform) { installed() = std::move(platform); }

std::unique_ptr<Platform> Platform::createForSession()
{
    auto platform = std::make_unique<Platform>();
    platform->screens = makeQtScreens();
    platform->mouseDownMonitor = makeUnavailableMouseDownMonitor();
    platform->frontmostApplication = makeUnavailableFrontmostApplication();
    platform->accessibility = makeUnavailableAccessibility();
    platform->pasteboard = makeUnavailablePasteboard();
    platform->keyboard = makeUnavailableKeyboard();
    platform->globalHotkeys = makeUnavailableGlobalHotkeys();
    // Autostart entries serve every desktop, X11 or not.
    platform->loginItem = std::make_unique<XdgAutostartLoginItem>();
    platform->screenCapture = makeUnavailableScreenCapture();
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        installX11Backends(*platform);
    return platform;
}
