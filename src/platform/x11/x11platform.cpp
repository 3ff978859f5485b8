#include "platform/x11/x11platform.h"

#include "platform/platform.h"

void installX11Backends(Platform& platform)
{
    // Each X11 backend replaces its unavailable stand-in here, one line per facility.
    (void)platform;
}
