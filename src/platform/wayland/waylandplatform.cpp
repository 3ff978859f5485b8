#include "platform/wayland/waylandplatform.h"

#include "platform/platform.h"
#include "platform/wayland/atspifrontmostapplication.h"
#include "platform/wayland/datacontrolpasteboard.h"
#include "platform/wayland/focuslossmonitor.h"
#include "platform/wayland/gnomedesktopshortcuts.h"
#include "platform/wayland/portalglobalhotkeys.h"
#include "platform/wayland/portalkeyboard.h"
#include "platform/wayland/portalscreencapture.h"
#include "platform/wayland/swayscreens.h"
#include "platform/x11/atspiaccessibility.h"
#include "platform/x11/atspithread.h"

#include <QDBusConnection>

void installWaylandBackends(Platform& platform, const QString& programForShortcuts)
{
    // Started without waiting for the compositor's answer; on a desktop without data-control (GNOME) every
    // read comes back empty, as with no clipboard at all.
    if (auto pasteboard = DataControlPasteboard::start({}))
        platform.pasteboard = std::move(pasteboard);
    platform.mouseDownMonitor = std::make_unique<FocusLossMouseDownMonitor>();
    if (SwayScreens::isSwaySession())
        platform.screens = std::make_unique<SwayScreens>(qEnvironmentVariable("SWAYSOCK"));
    // AT-SPI reads the selected text as on X11 (its rectangles are window-relative here), and tells which
    // application's window is active; both use the one AT-SPI thread.
    auto atspiThread = std::make_shared<AtspiThread>();
    platform.accessibility
        = std::make_unique<AtspiAccessibility>(AtspiAccessibility::Rectangles::WindowRelative, atspiThread);
    platform.frontmostApplication = std::make_unique<AtspiFrontmostApplication>(atspiThread);
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    platform.globalHotkeys = std::make_unique<PortalGlobalHotkeys>(bus);
    // GNOME's portal asks the user once before the first screenshot; onboarding has it asked there.
    platform.screenCapture = std::make_unique<PortalScreenCapture>(bus, GnomeDesktopShortcuts::isGnomeSession());
    platform.keyboard = std::make_unique<PortalKeyboard>(bus, PortalKeyboard::desktopSendsWithoutDialog());
    // GNOME before 48 gives programs no global keys; its own custom shortcuts can run our command lines.
    if (GnomeDesktopShortcuts::isGnomeSession()) {
        platform.desktopShortcuts = std::make_unique<GnomeDesktopShortcuts>(programForShortcuts, bus);
    }
}
