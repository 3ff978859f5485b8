#pragma once

#include <QFont>
#include <QImage>
#include <QRectF>
#include <QRegion>
#include <QWindow>

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

    // Draws the part `dirty` of the overlay on a device of the view's size.
    void paintOverlay(QPainter& painter, const QRegion& dirty) const;

    // Repaints the part `dirty` (everything without it) on the next frame.
    void update(const QRegion& dirty);
    void update();
    // The picture to paint, when it was not known at construction.
    void setFrozenScreen(QImage frozenScreen);
    // Sets up the window and the memory it will paint in ahead of showing it, so that the first paint
    // writes into pages that are already there: worth doing while the screens are being grabbed.
    void prepare();
    // Takes the overlay off the screen for good: the window hides and lets go of its picture and of the
    // memory it painted in, without waiting for the event loop to delete it.
    void dismiss();

protected:
    bool event(QEvent* event) override;
    void exposeEvent(QExposeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QSizeF viewSize() const { return m_frame.size(); }
    QPointF clamped(QPointF p) const;
    // Where the selection r and everything drawn around it can touch.
    QRegion decorationArea(const QRectF& r) const;
    void paintHintCard(QPainter& painter) const;
    void paintSelection(QPainter& painter, const QRectF& r) const;
    // Fills the whole device with the frozen picture dimmed, in one pass over its pixels; false (and nothing
    // drawn) when the device is not an image that matches the picture pixel for pixel.
    bool paintDimmedPicture(QPainter& painter) const;
    void paintNow(const QRegion& dirty);

    QRectF m_frame;
    QImage m_frozenScreen;
    QFont m_labelFont;
    QFont m_titleFont;
    QFont m_subtitleFont;
    std::unique_ptr<QBackingStore> m_backingStore; // from prepare() or showing until hidden: a whole screen
    QRegion m_dirty; // waiting for the next frame
    bool m_painted = false; // the backing store holds the whole overlay as it looks now, bar m_dirty
};
