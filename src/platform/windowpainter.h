#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRegion>

// Draws into a native window on the screen directly, without a backing store of the window's size: for a
// window that shows one large picture and changes little of it at a time. Coordinates are the window's device
// pixels. What is drawn goes to the display server in order, and is sent at the latest by flush(). Main thread
// only.
class WindowPainter {
public:
    virtual ~WindowPainter() = default;

    // Blends black at `alpha` (0-255) over the pixels of `rect` where they are, rounded as QPainter rounds;
    // false (and nothing done) when the display server cannot.
    virtual bool darken(const QRect& rect, int alpha) = 0;
    // Puts `pixels` (Format_RGB32) into the window with its top-left corner at `at`.
    virtual void put(const QImage& pixels, QPoint at) = 0;
    virtual void flush() = 0;
    // What the display server lost of the window (device pixels) after the first thing drawn through this
    // painter reached it, not asked for before: to be painted again. What it lost earlier, the first drawing
    // covers. Ask when Qt says the window needs painting.
    virtual QRegion takeLost() = 0;
};
