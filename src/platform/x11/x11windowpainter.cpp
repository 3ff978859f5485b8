#include "platform/x11/x11windowpainter.h"

#include "platform/x11/x11util.h"

#include <QCoreApplication>

#include <algorithm>
#include <utility>

namespace {

// The RENDER picture format of `visual`, or none.
xcb_render_pictformat_t formatOfVisual(xcb_connection_t* c, xcb_visualid_t visual)
{
    const X11::Reply<xcb_render_query_pict_formats_reply_t> formats(
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    if (!formats)
        return XCB_NONE;
    for (auto screen = xcb_render_query_pict_formats_screens_iterator(formats.get()); screen.rem;
         xcb_render_pictscreen_next(&screen)) {
        for (auto depth = xcb_render_pictscreen_depths_iterator(screen.data); depth.rem;
             xcb_render_pictdepth_next(&depth)) {
            for (auto v = xcb_render_pictdepth_visuals_iterator(depth.data); v.rem; xcb_render_pictvisual_next(&v)) {
                if (v.data->visual == visual)
                    return v.data->format;
            }
        }
    }
    return XCB_NONE;
}

// True when pixels of `visual` at `depth` are laid out as QImage::Format_RGB32 in the server's memory.
bool isRgb32(xcb_connection_t* c, xcb_visualid_t visual, quint8 depth)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool thirtyTwoBits = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        thirtyTwoBits |= f.data->depth == depth && f.data->bits_per_pixel == 32 && f.data->scanline_pad == 32;
    for (auto screen = xcb_setup_roots_iterator(setup); screen.rem; xcb_screen_next(&screen)) {
        for (auto d = xcb_screen_allowed_depths_iterator(screen.data); d.rem; xcb_depth_next(&d)) {
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
                if (v.data->visual_id == visual)
                    return thirtyTwoBits && v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR
                        && v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
            }
        }
    }
    return false;
}

} // namespace

bool X11WindowPainter::serverRenders()
{
    static const bool renders = [] {
        xcb_connection_t* c = X11::connection();
        if (!c)
            return false;
        const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_render_id);
        if (!extension || !extension->present)
            return false;
        // RENDER wants its version asked before any other request of it.
        const X11::Reply<xcb_render_query_version_reply_t> version(xcb_render_query_version_reply(
            c, xcb_render_query_version(c, XCB_RENDER_MAJOR_VERSION, XCB_RENDER_MINOR_VERSION), nullptr));
        return version && (version->major_version > 0 || version->minor_version >= 1); // FillRectangles: 0.1
    }();
    return renders;
}

std::unique_ptr<X11WindowPainter> X11WindowPainter::create(xcb_window_t window)
{
    xcb_connection_t* c = X11::connection();
    if (!c || window == XCB_WINDOW_NONE)
        return nullptr;
    const xcb_get_window_attributes_cookie_t attributesCookie = xcb_get_window_attributes(c, window);
    const xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(c, window);
    const X11::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    const X11::Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    // The root's depth too: a window of another depth does not show the screen through where it paints nothing.
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!attributes || !geometry || geometry->depth != screen->root_depth
        || !isRgb32(c, attributes->visual, geometry->depth))
        return nullptr;
    const xcb_render_pictformat_t format
        = serverRenders() ? formatOfVisual(c, attributes->visual) : xcb_render_pictformat_t(XCB_NONE);
    return std::unique_ptr<X11WindowPainter>(new X11WindowPainter(c, window, geometry->depth, format));
}

X11WindowPainter::X11WindowPainter(
    xcb_connection_t* connection, xcb_window_t window, quint8 depth, xcb_render_pictformat_t format)
    : m_connection(connection)
    , m_window(window)
    , m_depth(depth)
    , m_gc(xcb_generate_id(connection))
{
    xcb_create_gc(m_connection, m_gc, m_window, 0, nullptr);
    if (format != XCB_NONE) {
        m_picture = xcb_generate_id(m_connection);
        xcb_render_create_picture(m_connection, m_picture, m_window, format, 0, nullptr);
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11WindowPainter::~X11WindowPainter()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
    if (m_picture != XCB_NONE)
        xcb_render_free_picture(m_connection, m_picture);
    xcb_free_gc(m_connection, m_gc);
    xcb_flush(m_connection);
}

bool X11WindowPainter::darken(const QRect& rect, int alpha)
{
    if (m_picture == XCB_NONE || rect.isEmpty())
        return m_picture != XCB_NONE;
    // Premultiplied black: each channel becomes c × (255 − alpha) / 255, rounded as pixman and QPainter
    // round, so what is darkened here matches what is painted on our side next to it.
    const xcb_render_color_t black { 0, 0, 0, quint16(qBound(0, alpha, 255) * 257) };
    const xcb_rectangle_t area { qint16(rect.x()), qint16(rect.y()), quint16(rect.width()), quint16(rect.height()) };
    drew(xcb_render_fill_rectangles(m_connection, XCB_RENDER_PICT_OP_OVER, m_picture, black, 1, &area).sequence);
    return true;
}

void X11WindowPainter::put(const QImage& pixels, QPoint at)
{
    if (pixels.isNull() || pixels.format() != QImage::Format_RGB32)
        return;
    // Bands of at most 64 KiB: the server reads each request into a buffer it keeps and reuses.
    constexpr qsizetype bandBytes = 64 * 1024;
    const qsizetype rowBytes = qsizetype(pixels.width()) * 4;
    const bool packed = pixels.bytesPerLine() == rowBytes;
    const int rows = packed ? int(qBound(qsizetype(1), bandBytes / rowBytes, qsizetype(pixels.height()))) : 1;
    for (int y = 0; y < pixels.height(); y += rows) {
        const int height = std::min(rows, pixels.height() - y);
        drew(xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_window, m_gc, quint16(pixels.width()),
            quint16(height), qint16(at.x()), qint16(at.y() + y), 0, m_depth, quint32(rowBytes * height),
            pixels.constScanLine(y))
                 .sequence);
    }
}

void X11WindowPainter::flush() { xcb_flush(m_connection); }

QRegion X11WindowPainter::takeLost() { return std::exchange(m_lost, QRegion()); }

void X11WindowPainter::drew(unsigned int sequence)
{
    if (!m_firstDrawing)
        m_firstDrawing = quint32(sequence);
}

bool X11WindowPainter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || !m_firstDrawing)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_EXPOSE)
        return false;
    const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
    // An event carries the number of the last request of ours the server had handled when it happened: one from
    // before the first drawing (the window being mapped, say) is covered by that drawing.
    if (expose->window == m_window && qint32(event->full_sequence - *m_firstDrawing) >= 0)
        m_lost += QRect(expose->x, expose->y, expose->width, expose->height);
    return false; // Qt goes on to handle it
}
