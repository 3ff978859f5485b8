#pragma once

#include <QImage>

// A smooth picture whose colour tells where a pixel is, so a crop shows where it was cut (and JPEG keeps it).
inline QRgb patternAt(QPoint p, QSize size)
{
    return qRgb(p.x() * 255 / size.width(), p.y() * 255 / size.height(), 255 - p.x() * 128 / size.width());
}

inline QImage pattern(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, patternAt({ x, y }, size));
    return image;
}

// The largest difference of one colour channel.
inline int distance(QRgb a, QRgb b)
{
    return qMax(qMax(qAbs(qRed(a) - qRed(b)), qAbs(qGreen(a) - qGreen(b))), qAbs(qBlue(a) - qBlue(b)));
}
