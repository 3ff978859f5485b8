#pragma once

#include "platform/windowpainter.h"

#include <QAbstractNativeEventFilter>

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <memory>
#include <optional>

// Draws into a window of Qt's connection with plain X requests: pixels go through the socket in bands small
// enough for the server to take into memory it reuses, and darkening is a RENDER fill the server does in place.
// No shared memory: a fresh segment as large as a screen is faulted in a page at a time on both sides.
class X11WindowPainter final : public WindowPainter, private QAbstractNativeEventFilter {
public:
    // Null when the window's pixels are not 32-bit xRGB in the server's byte order.
    static std::unique_ptr<X11WindowPainter> create(xcb_window_t window);
    ~X11WindowPainter() override;

    bool darken(const QRect& rect, int alpha) override;
    void put(const QImage& pixels, QPoint at) override;
    void flush() override;
    QRegion takeLost() override;

    // Whether the server can darken in place (RENDER), on Qt's connection; asked once.
    static bool serverRenders();

private:
    // Collects the window's Expose events that follow the first drawing.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    // Notes the request that was just sent, when it is the first drawing.
    void drew(unsigned int sequence);

    X11WindowPainter(xcb_connection_t* connection, xcb_window_t window, quint8 depth, xcb_render_pictformat_t format);

    xcb_connection_t* m_connection;
    xcb_window_t m_window;
    quint8 m_depth;
    xcb_gcontext_t m_gc;
    xcb_render_picture_t m_picture = XCB_NONE; // none without RENDER
    std::optional<quint32> m_firstDrawing; // the sequence number of the first request that drew
    QRegion m_lost;
};
