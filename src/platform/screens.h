#pragma once

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>

// One display, in Qt's global logical coordinates (top-left origin, y downwards).
struct ScreenInfo {
    QString id;
    QRectF frame;
    QRectF visibleFrame; // the frame less panels and docks
    qreal scale = 1.0;
};

class Screens {
public:
    virtual ~Screens() = default;
    virtual QList<ScreenInfo> screens() const = 0;
    virtual ScreenInfo primary() const = 0;
    virtual QPointF pointerPosition() const = 0;
    // False where the compositor alone decides where windows go and where the pointer is unknown (Wayland).
    virtual bool placesWindows() const { return true; }

    // Where the compositor alone places windows, how a transparent surface can lie over the desktop, so that a window
    // learns where the pointer is when it enters: full screen; maximized, over the work area, where a full-screen
    // one blacks out the desktop; or not at all, where neither shows what lies beneath.
    enum class Overlay { FullScreen, Maximized, None };
    virtual Overlay overlay() const { return Overlay::FullScreen; }
};
