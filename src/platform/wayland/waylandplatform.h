#pragma once

#include <QString>

class Platform;

// Puts the Wayland backends in place of the unavailable stand-ins: AT-SPI for the selected text, the clipboard
// through data-control, the desktop portal's global shortcuts and screenshots, and on older GNOME its custom shortcuts.
// Each reports itself unavailable where the desktop lacks it.
void installWaylandBackends(Platform& platform, const QString& programForShortcuts);
