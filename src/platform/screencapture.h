#pragma once

#include "platform/screens.h"
#include "platform/windowpainter.h"

#include <QCoroTask>
#include <QImage>
#include <QList>

#include <memory>

class QWindow;

// Still images of whole screens, for the region capture: each screen is grabbed before the selection
// overlay covers it (or while an overlay that has painted nothing yet shows the screen through), so the
// overlay paints that frozen picture and never ends up in a capture itself.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // Whether screenshots can be taken in this session at all.
    virtual bool isAvailable() const = 0;

    // Where the desktop asks the user once before the first screenshot (GNOME's portal), whether it has asked and
    // what the answer was; elsewhere Allowed. Never asks anyone itself.
    enum class Permission { Allowed, NotAsked, Refused };
    virtual QCoro::Task<Permission> permission() { co_return Permission::Allowed; }
    // One image per screen, in that screen's device pixels with the origin at its top-left corner; a null
    // image for a screen that could not be grabbed. The pixels are read off the calling thread.
    virtual QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) = 0;
    // Hides the pointer on every screen, or shows it again.
    virtual void setPointerHidden(bool hidden) = 0;

    // Whether a window of ours that is shown but has not painted anything leaves the screen under it as it was
    // (X11 without a compositing manager). Then the overlays may go up before the grab, which reads what they
    // show, and be painted by darkening it where it is. Asked on the main thread at the start of a capture.
    virtual bool unpaintedWindowsShowTheScreen() { return false; }
    // Whether a window of ours that is shown but has not painted anything shows nothing at all (Wayland: a
    // surface without a buffer is not on the screen). Then the overlays may be shown while the screens are
    // grabbed, so that the desktop has set them up by the time they paint.
    virtual bool unpaintedWindowsShowNothing() { return false; }
    // A painter straight into `window` (created, not necessarily shown), or null where windows are painted
    // through a backing store only. Main thread.
    virtual std::unique_ptr<WindowPainter> windowPainter(QWindow&) { return nullptr; }
};
