#include "popup/placement.h"

#include <algorithm>

namespace Placement {

namespace {

bool containsHalfOpen(const QRectF& rect, QPointF point)
{
    return point.x() >= rect.left() && point.x() < rect.right() && point.y() >= rect.top() && point.y() < rect.bottom();
}

bool isListed(const ScreenInfo& screen, const QList<ScreenInfo>& screens)
{
    return std::any_of(screens.cbegin(), screens.cend(),
        [&](const ScreenInfo& listed) { return listed.id == screen.id && listed.frame == screen.frame; });
}

// Keeps the frame inside `visible` less `margin`. When the area is too small for the frame, the left and
// top edges win, so the card's header with its close button stays on screen.
QRectF clampInto(QRectF frame, const QRectF& visible, qreal margin)
{
    const qreal x = std::max(std::min(frame.x(), visible.right() - frame.width() - margin), visible.left() + margin);
    const qreal y = std::max(std::min(frame.y(), visible.bottom() - frame.height() - margin), visible.top() + margin);
    frame.moveTo(x, y);
    return frame;
}

std::optional<ScreenInfo> screenAt(QPointF point, const QList<ScreenInfo>& screens)
{
    for (const ScreenInfo& screen : screens) {
        if (containsHalfOpen(screen.frame, point))
            return screen;
    }
    return std::nullopt;
}

std::optional<ScreenInfo> fallbackScreen(const QList<ScreenInfo>& screens, const ScreenInfo& primary)
{
    if (isListed(primary, screens))
        return primary;
    if (!screens.isEmpty())
        return screens.first();
    return std::nullopt;
}

} // namespace

std::optional<ScreenInfo> screenContaining(QPointF point, const QList<ScreenInfo>& screens, const ScreenInfo& primary)
{
    if (auto screen = screenAt(point, screens))
        return screen;
    return fallbackScreen(screens, primary);
}

QRectF frameNearSelection(
    QSizeF size, const QRectF& anchor, const QList<ScreenInfo>& screens, const ScreenInfo& primary)
{
    constexpr qreal margin = 16;
    constexpr qreal gap = 12;

    auto screen = screenAt(anchor.center(), screens);
    if (!screen)
        screen = screenAt(anchor.topLeft(), screens);
    if (!screen)
        screen = fallbackScreen(screens, primary);
    if (!screen)
        return QRectF(anchor.topLeft(), size);
    const QRectF visible = screen->visibleFrame;

    QRectF frame(QPointF(anchor.left(), anchor.bottom() + gap), size);
    if (frame.bottom() > visible.bottom() - margin) {
        const qreal above = anchor.top() - gap - size.height();
        if (above >= visible.top() + margin)
            frame.moveTop(above);
    }
    return clampInto(frame, visible, margin);
}

QRectF frameOnPointerScreen(QSizeF size, QPointF pointer, const QList<ScreenInfo>& screens, const ScreenInfo& primary)
{
    constexpr qreal margin = 20;
    const auto screen = screenContaining(pointer, screens, primary);
    if (!screen)
        return QRectF(QPointF(0, 0), size);
    const QRectF visible = screen->visibleFrame;
    const QPointF centre = visible.center();
    const QRectF frame(
        QPointF(centre.x() - size.width() / 2, centre.y() - size.height() / 2 - 0.06 * visible.height()), size);
    return clampInto(frame, visible, margin);
}

QRectF frameNearPointer(QSizeF size, QPointF pointer, const QList<ScreenInfo>& screens, const ScreenInfo& primary)
{
    constexpr qreal margin = 12;
    const auto screen = screenContaining(pointer, screens, primary);
    if (!screen)
        return QRectF(pointer, size);
    return clampInto(QRectF(QPointF(pointer.x() + 12, pointer.y() + 8), size), screen->visibleFrame, margin);
}

} // namespace Placement
