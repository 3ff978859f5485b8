#pragma once

class Platform;

// Replaces the facilities that have an X11 backend. Called only when Qt runs on xcb.
void installX11Backends(Platform& platform);
