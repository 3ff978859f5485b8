#include "platform/platform.h"

#include "platform/secretservicestore.h"
#include "platform/unavailablebackends.h"
#include "platform/wayland/waylandplatform.h"
#include "platform/x11/x11platform.h"
#include "platform/xdgautostartloginitem.h"

#include <QGuiApplication>

std::unique_ptr<Platform> Platform::createForSession(const QString& program)
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
    auto loginItem = std::make_unique<XdgAutostartLoginItem>(program);
    // The desktop's shortcuts name the program by its path where it is installed, else by name: a build folder
    // may go away.
    const QString programForShortcuts
        = loginItem->isInstalledProgram() ? loginItem->program() : QStringLiteral("quillora");
    platform->loginItem = std::move(loginItem);
    platform->screenCapture = makeUnavailableScreenCapture();
    // The Secret Service is one on every desktop.
    platform->secrets = std::make_unique<SecretServiceStore>();
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        installX11Backends(*platform);
    else if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        installWaylandBackends(*platform, programForShortcuts);
    return platform;
}
