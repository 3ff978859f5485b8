#include "screenshot/screenshotoverlayview.h"

#include <QBackingStore>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "platform/framememory.h"

#include <sys/mman.h>

#include <array>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// c × a / 255 for the four bytes of c at once, rounded as QPainter rounds when it blends.
inline quint32 scaledBytes(quint32 c, quint32 a)
{
    quint32 even = (c & 0xff00ff) * a;
    even = ((even + ((even >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    quint32 odd = ((c >> 8) & 0xff00ff) * a;
    odd = (odd + ((odd >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return odd | even;
}

// One row of opaque pixels, each channel scaled by a / 255 as above; the results are opaque too.
void scaleRow(const quint32* from, quint32* to, int width, quint32 a)
{
    int x = 0;
#ifdef __SSE2__
    // Four pixels at a time, each channel widened to 16 bits: (c × a + 128 + ((c × a + 128) >> 8)) >> 8.
    const __m128i zero = _mm_setzero_si128();
    const __m128i factor = _mm_set1_epi16(short(a));
    const __m128i half = _mm_set1_epi16(0x80);
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    const auto scaled = [&](__m128i c) {
        c = _mm_add_epi16(_mm_mullo_epi16(c, factor), half);
        return _mm_srli_epi16(_mm_add_epi16(c, _mm_srli_epi16(c, 8)), 8);
    };
    for (; x + 4 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x));
        const __m128i low = scaled(_mm_unpacklo_epi8(pixels, zero));
        const __m128i high = scaled(_mm_unpackhi_epi8(pixels, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_or_si128(_mm_packus_epi16(low, high), opaque));
    }
#endif
    for (; x < width; ++x)
        to[x] = 0xff000000u | scaledBytes(from[x], a);
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
    setSurfaceType(QSurface::RasterSurface);
    setGeometry(frame.toAlignedRect());
    setCursor(Qt::CrossCursor);
}

ScreenshotOverlayView::~ScreenshotOverlayView() = default;

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

void ScreenshotOverlayView::startOver()
{
    startPoint = currentPoint = QPointF();
    isDragging = false;
    update();
}

void ScreenshotOverlayView::paintOverlay(QPainter& painter, const QRegion& dirty) const
{
    painter.save();
    painter.setClipRegion(dirty);
    const QRectF bounds(QPointF(), viewSize());
    const QRectF r = selectionRect();
    const bool hole = isDragging && r.width() > 2 && r.height() > 2;
    // The whole device at once (when the overlay appears, or the hint card comes or goes) is the frozen picture
    // dimmed throughout: written in one pass over the pixels, not copied and then darkened in a second.
    if (hole || !paintDimmedPicture(painter, dirty)) {
        if (m_frozenScreen.isNull())
            painter.fillRect(bounds, Qt::black);
        else
            painter.drawImage(bounds, m_frozenScreen);
        if (hole) {
            QPainterPath dimmed;
            dimmed.setFillRule(Qt::OddEvenFill);
            dimmed.addRect(bounds);
            dimmed.addRect(r);
            painter.fillPath(dimmed, dimming);
        } else {
            painter.fillRect(bounds, dimming);
        }
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

bool ScreenshotOverlayView::paintDimmedPicture(QPainter& painter, const QRegion& dirty) const
{
    QPaintDevice* device = painter.device();
    if (m_frozenScreen.isNull() || m_frozenScreen.format() != QImage::Format_RGB32 || !device
        || device->devType() != QInternal::Image)
        return false;
    auto* canvas = static_cast<QImage*>(device);
    const QTransform toDevice = painter.deviceTransform();
    if ((canvas->format() != QImage::Format_RGB32 && canvas->format() != QImage::Format_ARGB32_Premultiplied)
        || toDevice.type() > QTransform::TxScale)
        return false;
    // One pixel of the picture on each pixel of the device, the view's corner on a whole device pixel...
    const QRectF view = toDevice.mapRect(QRectF(QPointF(), viewSize()));
    const QPoint corner = view.topLeft().toPoint();
    if (view != QRectF(QRect(corner, m_frozenScreen.size())))
        return false;
    // ... the device within the picture, and all of it to be painted.
    const QRect part = canvas->rect().translated(-corner);
    if (!m_frozenScreen.rect().contains(part)
        || !(QRegion(toDevice.inverted().mapRect(QRectF(canvas->rect())).toAlignedRect()) - dirty).isEmpty())
        return false;
    // Blending black at the dimming's opacity over a pixel scales each of its channels by what shows through.
    const quint32 through = 255 - quint32(dimming.alpha());
    uchar* out = canvas->bits(); // the painter holds it already: no copy
    const qsizetype outStride = canvas->bytesPerLine();
    const int width = canvas->width();
    for (int y = 0; y < canvas->height(); ++y) {
        const auto* from = reinterpret_cast<const quint32*>(m_frozenScreen.constScanLine(part.top() + y)) + part.left();
        scaleRow(from, reinterpret_cast<quint32*>(out + y * outStride), width, through);
    }
    return true;
}

QRegion ScreenshotOverlayView::detailArea() const
{
    const QRectF r = selectionRect();
    if (!isDragging)
        return QRegion(hintCardRect().toAlignedRect().adjusted(-1, -1, 1, 1));
    if (r.width() > 2 && r.height() > 2)
        return decorationArea(r) + QRegion(r.toAlignedRect());
    return {};
}

QRect ScreenshotOverlayView::deviceRect() const
{
    return QRect(QPoint(), (QSizeF(size()) * devicePixelRatio()).toSize());
}

void ScreenshotOverlayView::update(const QRegion& dirty)
{
    m_dirty += dirty;
    requestUpdate();
}

void ScreenshotOverlayView::update() { update(QRect(QPoint(), size())); }

void ScreenshotOverlayView::setFrozenScreen(QImage frozenScreen)
{
    m_frozenScreen = std::move(frozenScreen);
    m_painted = false;
    if (!m_awaitingPicture || !isVisible())
        return;
    if (m_painter) {
        paintInPlace();
        return;
    }
    m_awaitingPicture = false;
    m_dirty = QRegion();
    if (isExposed())
        paintNow(QRect(QPoint(), size()));
}

void ScreenshotOverlayView::prepare(std::unique_ptr<WindowPainter> painter)
{
    create();
    m_painter = std::move(painter);
    m_painted = false;
    if (m_painter)
        return;
    if (!m_backingStore)
        m_backingStore = std::make_unique<QBackingStore>(this);
    if (m_backingStore->size() != size())
        m_backingStore->resize(size());
    const QRect all(QPoint(), size());
    m_backingStore->beginPaint(all);
    QPaintDevice* device = m_backingStore->paintDevice();
    if (device && device->devType() == QInternal::Image) {
        auto* canvas = static_cast<QImage*>(device);
        // The first write to each page of a fresh buffer is a page fault, dear under a hypervisor: the kernel maps
        // them all in one call now, and the first paint only writes pixels.
        const auto pageSize = quintptr(4096);
        const auto start = reinterpret_cast<quintptr>(canvas->bits()) & ~(pageSize - 1);
        const auto end = reinterpret_cast<quintptr>(canvas->bits()) + quintptr(canvas->sizeInBytes());
        madvise(reinterpret_cast<void*>(start), end - start, 23); // MADV_POPULATE_WRITE (Linux 5.14): a hint
    }
    m_backingStore->endPaint();
}

void ScreenshotOverlayView::showOverScreen()
{
    show();
    // On Wayland the position asked for is ignored: a window manager that keeps windows clear of its panels
    // (GNOME's top bar) would move and shrink a screen-sized window, a tiling one (Sway) would tile it among the
    // others. The overlay asks to cover its output instead, once its surface exists (asked before, Qt's Wayland
    // plugin never passes it on).
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        setWindowStates(Qt::WindowFullScreen);
}

void ScreenshotOverlayView::showUnpainted()
{
    m_awaitingPicture = true;
    m_painted = false;
    showOverScreen();
}

void ScreenshotOverlayView::showPainted()
{
    m_awaitingPicture = false;
    showOverScreen();
    if (m_painter && !m_painted) {
        m_dirty = QRegion();
        paintDirect(QRect(QPoint(), size()));
        m_painter->flush();
        m_painted = true;
    }
}

void ScreenshotOverlayView::paintInPlace()
{
    m_awaitingPicture = false;
    const QRect device = deviceRect();
    // What the window shows is the picture itself, grabbed from under it: darkened where it is, only the details
    // on top are painted here. Both go in one batch, so the overlay appears whole.
    if (!m_frozenScreen.isNull() && m_frozenScreen.size() == device.size()
        && m_painter->darken(device, dimming.alpha()))
        paintDirect(detailArea());
    else
        paintDirect(QRect(QPoint(), size()));
    m_dirty = QRegion();
    m_painter->flush();
    m_painted = true;
}

void ScreenshotOverlayView::paintDirect(const QRegion& dirty)
{
    const qreal scale = devicePixelRatio();
    const QRect device = deviceRect();
    if (m_band.isNull()) {
        // A couple of MiB of rows, mapped at once (FrameMemory) and kept while the overlay is up.
        const int rows = qMax(1, int((2 << 20) / (qsizetype(qMax(1, device.width())) * 4)));
        m_band = FrameMemory::allocate(QSize(qMax(1, device.width()), rows), QImage::Format_RGB32);
        if (m_band.isNull())
            m_band = QImage(QSize(qMax(1, device.width()), rows), QImage::Format_RGB32);
    }
    for (const QRect& logical : dirty) {
        const QRect area
            = QRectF(QPointF(logical.topLeft()) * scale, QSizeF(logical.size()) * scale).toAlignedRect() & device;
        if (area.isEmpty())
            continue;
        const int width = qMin(area.width(), m_band.width());
        const int rows = int(m_band.sizeInBytes() / (qsizetype(width) * 4));
        for (int x = area.left(); x <= area.right(); x += width) {
            for (int y = area.top(); y <= area.bottom(); y += rows) {
                const QRect band(x, y, qMin(width, area.right() + 1 - x), qMin(rows, area.bottom() + 1 - y));
                // Rows packed one after the other in the band's memory, as the painter sends them.
                QImage pixels(
                    m_band.bits(), band.width(), band.height(), qsizetype(band.width()) * 4, QImage::Format_RGB32);
                pixels.setDevicePixelRatio(scale);
                {
                    QPainter painter(&pixels);
                    painter.translate(-QPointF(band.topLeft()) / scale);
                    paintOverlay(painter,
                        QRegion(QRectF(QPointF(band.topLeft()) / scale, QSizeF(band.size()) / scale).toAlignedRect()));
                }
                m_painter->put(pixels, band.topLeft());
            }
        }
    }
}

void ScreenshotOverlayView::paintNow(const QRegion& dirty)
{
    if (dirty.isEmpty())
        return;
    if (m_awaitingPicture) { // painted whole once the picture is there
        m_dirty += dirty;
        return;
    }
    if (m_painter) {
        paintDirect(dirty);
        m_painter->flush();
        return;
    }
    if (!m_backingStore)
        m_backingStore = std::make_unique<QBackingStore>(this);
    if (m_backingStore->size() != size()) {
        m_backingStore->resize(size());
        m_painted = false;
    }
    m_backingStore->beginPaint(dirty);
    {
        QPainter painter(m_backingStore->paintDevice());
        paintOverlay(painter, dirty);
    }
    m_backingStore->endPaint();
    m_backingStore->flush(dirty);
    m_painted = m_painted || (QRegion(QRect(QPoint(), size())) - dirty).isEmpty();
}

bool ScreenshotOverlayView::event(QEvent* event)
{
    if (event->type() == QEvent::UpdateRequest) {
        if (isExposed())
            paintNow(std::exchange(m_dirty, QRegion()));
        return true;
    }
    return QWindow::event(event);
}

void ScreenshotOverlayView::exposeEvent(QExposeEvent*)
{
    // Shown (or uncovered): everything, at once, so the overlay appears in one piece. What is painted already
    // is only put on the screen again: the server reports the first showing once more after it happened.
    if (!isExposed() || m_painter || m_awaitingPicture)
        return; // with a painter: what needs painting comes as a paint event
    const QRect all(QPoint(), size());
    if (m_painted && m_backingStore && m_backingStore->size() == size()) {
        if (!m_dirty.isEmpty())
            paintNow(std::exchange(m_dirty, QRegion()));
        m_backingStore->flush(all);
        return;
    }
    m_dirty = QRegion();
    paintNow(all);
}

void ScreenshotOverlayView::paintEvent(QPaintEvent*)
{
    if (!m_painter || m_awaitingPicture || !m_painted || !isExposed())
        return;
    // The window has no pixels but those on the screen: what the server lost after it was painted (a window
    // above it went) is painted again. Its first showing, painted as it happened, is not.
    const qreal scale = devicePixelRatio();
    QRegion lost;
    for (const QRect& device : m_painter->takeLost())
        lost += QRectF(QPointF(device.topLeft()) / scale, QSizeF(device.size()) / scale).toAlignedRect();
    if (lost.isEmpty())
        return;
    paintDirect(lost);
    m_painter->flush();
}

void ScreenshotOverlayView::hideEvent(QHideEvent* event)
{
    m_backingStore.reset(); // a whole screen's worth of pixels, painted again if it ever comes back
    m_band = QImage();
    m_painted = false;
    m_awaitingPicture = false;
    QWindow::hideEvent(event);
}

void ScreenshotOverlayView::dismiss()
{
    hide();
    m_backingStore.reset();
    m_painter.reset();
    m_band = QImage();
    m_painted = false;
    m_awaitingPicture = false;
    m_frozenScreen = QImage();
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
