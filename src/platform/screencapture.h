#pragma once

#include "platform/screens.h"

#include <QCoroTask>
#include <QImage>
#include <QList>

// Still images of whole screens, for the region capture: each screen is grabbed before the selection
// overlay covers it, so the overlay paints that frozen picture and never ends up in a capture itself.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // Whether screenshots can be taken in this session at all.
    virtual bool isAvailable() const = 0;
    // One image per screen, in that screen's device pixels with the origin at its top-left corner; a null
    // image for a screen that could not be grabbed. The pixels are read off the calling thread.
    virtual QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) = 0;
    // Hides the pointer on every screen, or shows it again.
    virtual void setPointerHidden(bool hidden) = 0;
};
