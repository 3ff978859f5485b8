#include "screenshot/screenshotoverlayview.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <array>

namespace {

const QColor dimming = QColor::fromRgbF(0, 0, 0, 0.45);
const QColor labelBackground = QColor::fromRgbF(0, 0, 0, 0.65);
const QColor cardBackground = QColor::fromRgbF(0.08, 0.08, 0.08, 0.82);
const QColor cardBorder = QColor::fromRgbF(1, 1, 1, 0.18);
const QColor subtitleColour = QColor::fromRgbF(1, 1, 1, 0.65);
constexpr qreal cornerMarkLength = 10;

QFont systemFont(int pixelSize, QFont::Weight weight)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QSizeF textSize(const QFont& font, const QString& text)
{
    const QFontMetricsF metrics(font);
    return { metrics.horizontalAdvance(text), metrics.height() };
}

} // namespace

ScreenshotOverlayView::ScreenshotOverlayView(const QRectF& frame, QImage frozenScreen)
    : m_frame(frame)
    , m_frozenScreen(std::move(frozenScreen))
    , m_labelFont(systemFont(11, QFont::Medium))
    , m_titleFont(systemFont(17, QFont::DemiBold))
    , m_subtitleFont(systemFont(13, QFont::Normal))
{
    // Above everything, the panels and docks included, and left alone by the window manager.
    setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint);
    setGeometry(frame.toAlignedRect());
    setCursor(Qt::CrossCursor);
}

QRectF ScreenshotOverlayView::selectionRect() const
{
    return QRectF(QPointF(qMin(startPoint.x(), currentPoint.x()), qMin(startPoint.y(), currentPoint.y())),
        QPointF(qMax(startPoint.x(), currentPoint.x()), qMax(startPoint.y(), currentPoint.y())));
}

QString ScreenshotOverlayView::sizeLabelText(const QRectF& r) const
{
    return QStringLiteral("%1 × %2").arg(qint64(r.width())).arg(qint64(r.height()));
}

QRectF ScreenshotOverlayView::sizeLabelBox(const QRectF& r) const
{
    const QSizeF s = textSize(m_labelFont, sizeLabelText(r));
    const QSizeF box(s.width() + 10, s.height() + 10);
    qreal y = r.bottom() + 4;
    if (y + box.height() > viewSize().height())
        y = r.top() - 4 - box.height(); // no room below: above the selection
    return { QPointF(r.center().x() - s.width() / 2 - 5, y), box };
}

QRectF ScreenshotOverlayView::hintCardRect() const
{
    const QSizeF t = textSize(m_titleFont, hintTitle);
    const QSizeF s = textSize(m_subtitleFont, hintSubtitle);
    const qreal w = qMax(t.width(), s.width()) + 56;
    const qreal h = t.height() + 8 + s.height() + 40;
    // The card's centre sits a tenth of its height below the screen's centre.
    return { viewSize().width() / 2 - w / 2, viewSize().height() / 2 - 0.4 * h, w, h };
}

QPointF ScreenshotOverlayView::clamped(QPointF p) const
{
    return { qBound(0.0, p.x(), viewSize().width()), qBound(0.0, p.y(), viewSize().height()) };
}

void ScreenshotOverlayView::mouseDownAt(QPointF p)
{
    startPoint = currentPoint = clamped(p);
    isDragging = true;
    update(); // the hint card goes
}

QRegion ScreenshotOverlayView::decorationArea(const QRectF& r) const
{
    const qreal reach = 3; // the border and the corner marks' round caps, anti-aliased
    return QRegion(r.adjusted(-reach, -reach, reach, reach).toAlignedRect())
        + QRegion(sizeLabelBox(r).toAlignedRect().adjusted(-1, -1, 1, 1));
}

void ScreenshotOverlayView::mouseDraggedTo(QPointF p)
{
    if (!isDragging)
        return;
    const QRectF before = selectionRect();
    currentPoint = clamped(p);
    const QRectF after = selectionRect();
    // Only the bands that change are redrawn: inside both holes, away from their edges, nothing does.
    const qreal edge = cornerMarkLength + 3;
    const QRectF untouched = before.adjusted(edge, edge, -edge, -edge) & after.adjusted(edge, edge, -edge, -edge);
    QRegion changed = decorationArea(before) + decorationArea(after);
    if (untouched.width() > 2 && untouched.height() > 2)
        changed -= QRegion(untouched.adjusted(1, 1, -1, -1).toAlignedRect());
    update(changed);
}

void ScreenshotOverlayView::mouseUpAt(QPointF p)
{
    if (!isDragging)
        return;
    currentPoint = clamped(p);
    isDragging = false;
    const QRectF r = selectionRect();
    if (r.width() > minimumSelectionSize && r.height() > minimumSelectionSize) {
        if (onSelectionComplete)
            onSelectionComplete(r.translated(m_frame.topLeft()));
        return;
    }
    // Too small to mean anything: back to the hint card for another try.
    startPoint = currentPoint = QPointF();
    update();
}

void ScreenshotOverlayView::paintOverlay(QPainter& painter, const QRegion& dirty) const
{
    painter.save();
    painter.setClipRegion(dirty);
    const QRectF bounds(QPointF(), viewSize());
    if (m_frozenScreen.isNull())
        painter.fillRect(bounds, Qt::black);
    else
        painter.drawImage(bounds, m_frozenScreen);

    const QRectF r = selectionRect();
    const bool hole = isDragging && r.width() > 2 && r.height() > 2;
    if (hole) {
        QPainterPath dimmed;
        dimmed.setFillRule(Qt::OddEvenFill);
        dimmed.addRect(bounds);
        dimmed.addRect(r);
        painter.fillPath(dimmed, dimming);
    } else {
        painter.fillRect(bounds, dimming);
    }
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isDragging)
        paintHintCard(painter);
    else if (hole)
        paintSelection(painter, r);
    painter.restore();
}

void ScreenshotOverlayView::paintSelection(QPainter& painter, const QRectF& r) const
{
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 1.5));
    painter.drawRect(r.adjusted(0.75, 0.75, -0.75, -0.75));

    QPen marks(Qt::white, 2.5);
    marks.setCapStyle(Qt::RoundCap);
    painter.setPen(marks);
    const qreal m = cornerMarkLength;
    const QList<std::array<QPointF, 3>> corners {
        { QPointF(r.left(), r.top() + m), r.topLeft(), QPointF(r.left() + m, r.top()) },
        { QPointF(r.right() - m, r.top()), r.topRight(), QPointF(r.right(), r.top() + m) },
        { QPointF(r.left(), r.bottom() - m), r.bottomLeft(), QPointF(r.left() + m, r.bottom()) },
        { QPointF(r.right() - m, r.bottom()), r.bottomRight(), QPointF(r.right(), r.bottom() - m) },
    };
    for (const auto& corner : corners)
        painter.drawPolyline(corner.data(), int(corner.size()));

    const QRectF box = sizeLabelBox(r);
    painter.setPen(Qt::NoPen);
    painter.setBrush(labelBackground);
    painter.drawRoundedRect(box, 4, 4);
    painter.setPen(Qt::white);
    painter.setFont(m_labelFont);
    painter.drawText(box.adjusted(5, 5, -5, -5), Qt::AlignLeft | Qt::AlignTop, sizeLabelText(r));
}

void ScreenshotOverlayView::paintHintCard(QPainter& painter) const
{
    const QRectF card = hintCardRect();
    painter.setPen(Qt::NoPen);
    painter.setBrush(cardBackground);
    painter.drawRoundedRect(card, 14, 14);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(cardBorder, 1));
    painter.drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);

    const QSizeF t = textSize(m_titleFont, hintTitle);
    const QSizeF s = textSize(m_subtitleFont, hintSubtitle);
    const qreal midX = viewSize().width() / 2;
    painter.setFont(m_titleFont);
    painter.setPen(Qt::white);
    painter.drawText(
        QRectF(QPointF(midX - t.width() / 2, card.top() + 20), t), Qt::AlignLeft | Qt::AlignTop, hintTitle);
    painter.setFont(m_subtitleFont);
    painter.setPen(subtitleColour);
    painter.drawText(QRectF(QPointF(midX - s.width() / 2, card.top() + 20 + t.height() + 8), s),
        Qt::AlignLeft | Qt::AlignTop, hintSubtitle);
}

void ScreenshotOverlayView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    paintOverlay(painter, event->region());
}

void ScreenshotOverlayView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        if (onCancelled)
            onCancelled();
    } else if (event->button() == Qt::LeftButton) {
        mouseDownAt(event->position());
    }
    event->accept();
}

void ScreenshotOverlayView::mouseMoveEvent(QMouseEvent* event) { mouseDraggedTo(event->position()); }

void ScreenshotOverlayView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        mouseUpAt(event->position());
}

void ScreenshotOverlayView::keyPressEvent(QKeyEvent* event)
{
    // Every key is swallowed; Escape cancels.
    event->accept();
    if (event->key() == Qt::Key_Escape && onCancelled)
        onCancelled();
}
