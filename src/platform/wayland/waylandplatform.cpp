#include "platform/wayland/waylandplatform.h"

#include "platform/platform.h"
#include "platform/wayland/portalglobalhotkeys.h"
#include "platform/wayland/portalscreencapture.h"

#include <QDBusConnection>

void installWaylandBackends(Platform& platform)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    platform.globalHotkeys = std::make_unique<PortalGlobalHotkeys>(bus);
    platform.screenCapture = std::make_unique<PortalScreenCapture>(bus);
}
