#pragma once

#include <QList>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QWindow>

#include <functional>

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

    // Where no overlay can learn the pointer's position but the compositor can be asked to move a window (Sway):
    // moves the window, once it shows, to the frame `place` gives for the pointer and the output it is on.
    // Does nothing elsewhere.
    using PlaceBesidePointer = std::function<QRectF(QSizeF size, QPointF pointer, const QRectF& output)>;
    virtual void moveBesidePointer(QWindow* window, PlaceBesidePointer place)
    {
        Q_UNUSED(window);
        Q_UNUSED(place);
    }
};
