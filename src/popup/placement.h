#pragma once

#include "platform/screens.h"

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <optional>

// Where panels go. Pure functions over a list of screens in Qt's global logical coordinates (top-left
// origin, y downwards), so the rules can be checked without a display. Each returns a frame of the given
// size inside the visible frame of the chosen screen.
namespace Placement {

constexpr QSizeF popupSize { 440, 540 };
constexpr QSizeF cardSize { 300, 400 };
constexpr QSizeF fallbackNoticeSize { 280, 44 };

// The screen a point is on (half-open frames, so a shared edge belongs to one screen only); the primary
// screen when none has it; the first screen when the primary is not listed. nullopt without screens.
std::optional<ScreenInfo> screenContaining(QPointF point, const QList<ScreenInfo>& screens, const ScreenInfo& primary);

// Next to a selection: 12 below it, or 12 above it when below does not fit, within a 16 margin.
QRectF frameNearSelection(
    QSizeF size, const QRectF& anchor, const QList<ScreenInfo>& screens, const ScreenInfo& primary);

// Without a selection: centred on the pointer's screen and raised by 6 % of its visible height, 20 margin.
QRectF frameOnPointerScreen(QSizeF size, QPointF pointer, const QList<ScreenInfo>& screens, const ScreenInfo& primary);

// Notices: right of and below the pointer, within a 12 margin.
QRectF frameNearPointer(QSizeF size, QPointF pointer, const QList<ScreenInfo>& screens, const ScreenInfo& primary);

} // namespace Placement
