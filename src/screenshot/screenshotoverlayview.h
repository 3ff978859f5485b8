#pragma once

#include <QFont>
#include <QImage>
#include <QRectF>
#include <QRegion>
#include <QWindow>

#include "platform/windowpainter.h"

#include <functional>
#include <memory>

class QBackingStore;

// One screen's selection overlay: paints the screen's frozen picture dimmed, a hint card until a drag
// starts, and the dragged rectangle as an undimmed hole with a white border, corner marks and its size.
// Geometry is in logical pixels with the origin at the screen's top-left corner. The window paints into a
// backing store of its own, which exists only while it is on screen. Main thread only.
class ScreenshotOverlayView : public QWindow {
    Q_OBJECT

public:
    static constexpr qreal minimumSelectionSize = 10; // a selection must be larger than this both ways
    static inline const QString hintTitle = QStringLiteral("Drag to select an area to explain");
    static inline const QString hintSubtitle = QStringLiteral("Release to explain · Esc to cancel");

    // frame: the screen in global logical coordinates; frozenScreen: its picture in device pixels (a null
    // image paints black).
    ScreenshotOverlayView(const QRectF& frame, QImage frozenScreen);
    ~ScreenshotOverlayView() override;

    // Called with the finished selection in global logical coordinates.
    std::function<void(const QRectF&)> onSelectionComplete;
    std::function<void()> onCancelled;

    QPointF startPoint;
    QPointF currentPoint;
    bool isDragging = false;

    // The screen in global logical coordinates.
    QRectF frame() const { return m_frame; }
    // The rectangle spanned by the two points.
    QRectF selectionRect() const;
    // The size label's text and its box for the selection r.
    QString sizeLabelText(const QRectF& r) const;
    QRectF sizeLabelBox(const QRectF& r) const;
    QRectF hintCardRect() const;

    // The pointer steps of a drag, in view coordinates; positions are kept on this screen.
    void mouseDownAt(QPointF p);
    void mouseDraggedTo(QPointF p);
    void mouseUpAt(QPointF p);
    // Drops the selection under way: the hint card shows again.
    void startOver();

    // Draws the part `dirty` of the overlay on a device of the view's size (or on part of one, through the
    // painter's transform).
    void paintOverlay(QPainter& painter, const QRegion& dirty) const;

    // Repaints the part `dirty` (everything without it) on the next frame.
    void update(const QRegion& dirty);
    void update();
    // The picture to paint, when it was not known at construction. A view shown unpainted paints now.
    void setFrozenScreen(QImage frozenScreen);
    // Sets up the window ahead of showing it, and with `painter` (may be null) how it paints: through it, or
    // into a backing store whose memory is mapped now, so that the first paint only writes pixels. Worth doing
    // while the screens are being grabbed.
    void prepare(std::unique_ptr<WindowPainter> painter);
    // Shows the window before its picture is known, painting nothing until setFrozenScreen(). With a painter
    // the window shows the screen under it meanwhile (ScreenCapture::unpaintedWindowsShowTheScreen), which
    // setFrozenScreen() darkens where it is, painting only what lies on top; without one it must show nothing
    // until it paints (ScreenCapture::unpaintedWindowsShowNothing), and is painted whole then.
    void showUnpainted();
    // Shows the window with its picture; with a painter, painted at once rather than on the first expose.
    void showPainted();
    // Whether the whole overlay has been painted and sent to the screen since it was shown.
    bool isPainted() const { return m_painted; }
    // Takes the overlay off the screen for good: the window hides and lets go of its picture and of the
    // memory it painted in, without waiting for the event loop to delete it.
    void dismiss();

protected:
    bool event(QEvent* event) override;
    void exposeEvent(QExposeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showOverScreen();
    QSizeF viewSize() const { return m_frame.size(); }
    QPointF clamped(QPointF p) const;
    // Where the selection r and everything drawn around it can touch.
    QRegion decorationArea(const QRectF& r) const;
    void paintHintCard(QPainter& painter) const;
    void paintSelection(QPainter& painter, const QRectF& r) const;
    // Fills the whole device with the frozen picture dimmed, in one pass over its pixels; false (and nothing
    // drawn) unless the device is an image whose pixels are pixels of the picture, all of them inside `dirty`.
    bool paintDimmedPicture(QPainter& painter, const QRegion& dirty) const;
    // Where the overlay is not the plain dimmed picture: the hint card, or the hole and what is drawn around it.
    QRegion detailArea() const;
    QRect deviceRect() const;
    void paintNow(const QRegion& dirty);
    // Paints `dirty` through the painter, a band of rows at a time, and sends it.
    void paintDirect(const QRegion& dirty);
    // The window shows its picture undimmed: darkens it in place and paints the rest on top.
    void paintInPlace();

    QRectF m_frame;
    QImage m_frozenScreen;
    QFont m_labelFont;
    QFont m_titleFont;
    QFont m_subtitleFont;
    std::unique_ptr<WindowPainter> m_painter; // from prepare() until dismissed; no backing store then
    QImage m_band; // what the painter paints a band in, a couple of MiB, kept while on screen
    std::unique_ptr<QBackingStore> m_backingStore; // from prepare() or showing until hidden: a whole screen
    QRegion m_dirty; // waiting for the next frame
    bool m_awaitingPicture = false; // shown unpainted: its picture is still being grabbed
    bool m_painted = false; // the whole overlay as it looks now is on the screen, bar m_dirty
};
