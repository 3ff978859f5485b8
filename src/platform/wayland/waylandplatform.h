#pragma once

class Platform;

// Puts the Wayland backends in place of the unavailable stand-ins: AT-SPI for the selected text, the clipboard
// through data-control, and the desktop portal's global shortcuts and screenshots. Each reports itself unavailable where the desktop lacks it.
void installWaylandBackends(Platform& platform);
