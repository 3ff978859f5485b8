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
    // True where the compositor shows nothing but a full-screen window while it is up, however transparent.
    virtual bool fullScreenHidesTheDesktop() const { return false; }
};
