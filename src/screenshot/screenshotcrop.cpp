#include "screenshot/screenshotcrop.h"

#include <QBuffer>
#include <QImageWriter>

namespace ScreenshotCrop {

namespace {

// Half-open, so a point on the line between two screens belongs to one of them only.
bool holds(const QRectF& frame, const QPointF& p)
{
    return p.x() >= frame.left() && p.x() < frame.right() && p.y() >= frame.top() && p.y() < frame.bottom();
}

} // namespace

QRect pixelRect(const FrozenScreen& screen, const QRectF& region)
{
    const qreal scale = screen.screen.scale;
    const QPointF origin = screen.screen.frame.topLeft();
    const QPoint topLeft(qRound((region.left() - origin.x()) * scale), qRound((region.top() - origin.y()) * scale));
    const QPoint bottomRight(
        qRound((region.right() - origin.x()) * scale), qRound((region.bottom() - origin.y()) * scale));
    return QRect(topLeft, QSize(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y())) & screen.image.rect();
}

std::optional<QByteArray> jpegOfRegion(const QList<FrozenScreen>& screens, const QRectF& region)
{
    if (!region.isValid())
        return std::nullopt;
    const auto screen = std::find_if(screens.cbegin(), screens.cend(),
        [&](const FrozenScreen& s) { return holds(s.screen.frame, region.center()); });
    if (screen == screens.cend() || screen->image.isNull())
        return std::nullopt;
    const QRect pixels = pixelRect(*screen, region);
    if (pixels.isEmpty())
        return std::nullopt;
    // A view into the picture, not a copy: the picture outlives it, and a whole 4K screen stays one buffer.
    const QImage& picture = screen->image;
    if (picture.depth() % 8)
        return jpegData(picture.copy(pixels));
    const QImage crop(picture.constScanLine(pixels.top()) + qsizetype(pixels.left()) * (picture.depth() / 8),
        pixels.width(), pixels.height(), picture.bytesPerLine(), picture.format());
    return jpegData(crop);
}

std::optional<QByteArray> jpegData(const QImage& image, int quality)
{
    if (image.isNull())
        return std::nullopt;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image))
        return std::nullopt;
    return bytes;
}

} // namespace ScreenshotCrop
