#pragma once

#include "platform/screens.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRectF>

#include <optional>

// A screen as it was when the capture began: where it is and its picture in device pixels.
struct FrozenScreen {
    ScreenInfo screen;
    QImage image;
};

namespace ScreenshotCrop {

constexpr int jpegQuality = 85;

// The device pixels of `screen`'s picture under `region` (global logical coordinates), at the screen's own
// scale, clipped to the picture; empty when they do not meet.
QRect pixelRect(const FrozenScreen& screen, const QRectF& region);

// The region, cut from the picture of the screen under its centre, as JPEG bytes. Nothing when no screen
// holds the centre, that screen has no picture, the region misses it or the encoder fails. Thread-safe.
std::optional<QByteArray> jpegOfRegion(const QList<FrozenScreen>& screens, const QRectF& region);

// JPEG bytes through Qt's image writer; nothing when encoding fails.
std::optional<QByteArray> jpegData(const QImage& image, int quality = jpegQuality);

} // namespace ScreenshotCrop
