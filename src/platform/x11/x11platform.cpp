#include "platform/x11/x11platform.h"

#include "platform/platform.h"
#include "platform/x11/atspiaccessibility.h"
#include "platform/x11/x11frontmostapplication.h"
#include "platform/x11/x11globalhotkeys.h"
#include "platform/x11/x11keyboard.h"
#include "platform/x11/x11pasteboard.h"
#include "platform/x11/x11screencapture.h"
#include "platform/x11/xinputmousedownmonitor.h"

void installX11Backends(Platform& platform)
{
    // Each X11 backend replaces its unavailable stand-in here, one line per facility.
    platform.frontmostApplication = std::make_unique<X11FrontmostApplication>();
    platform.accessibility = std::make_unique<AtspiAccessibility>();
    platform.pasteboard = std::make_unique<X11Pasteboard>();
    platform.keyboard = std::make_unique<X11Keyboard>();
    platform.mouseDownMonitor = makeXInputMouseDownMonitor();
    platform.globalHotkeys = std::make_unique<X11GlobalHotkeys>();
    platform.screenCapture = std::make_unique<X11ScreenCapture>();
}
