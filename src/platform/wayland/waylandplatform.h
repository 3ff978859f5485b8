#pragma once

class Platform;

// Puts the Wayland backends in place of the unavailable stand-ins: the desktop portal's global shortcuts and
// screenshots, and AT-SPI for the selected text. Each reports itself unavailable where the desktop lacks it.
void installWaylandBackends(Platform& platform);
