#include "platform/x11/x11screencapture.h"

#include "platform/framememory.h"
#include "platform/workerthread.h"
#include "platform/x11/x11util.h"
#include "platform/x11/x11windowpainter.h"

#include <QCoroFuture>
#include <QWindow>

#include <cstring>
#include <vector>

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include <xcb/shm.h>
#include <xcb/xfixes.h>

namespace {

// True when the root window's pixels are 32-bit little-endian xRGB, which is QImage::Format_RGB32.
bool rootIsRgb32(xcb_connection_t* c)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool thirtyTwoBits = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        thirtyTwoBits |= f.data->depth == screen->root_depth && f.data->bits_per_pixel == 32;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual)
                return thirtyTwoBits && v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00
                    && v.data->blue_mask == 0xff;
        }
    }
    return false;
}

QImage grabShm(xcb_connection_t* c, xcb_window_t root, const QRect& r)
{
    const qsizetype bytesPerLine = qsizetype(r.width()) * 4;
    const int id = shmget(IPC_PRIVATE, size_t(bytesPerLine * r.height()), IPC_CREAT | 0600);
    if (id < 0)
        return {};
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return {};
    }
    const xcb_shm_seg_t segment = xcb_generate_id(c);
    const xcb_void_cookie_t attached = xcb_shm_attach_checked(c, segment, quint32(id), 0);
    const xcb_shm_get_image_cookie_t cookie = xcb_shm_get_image(c, root, qint16(r.x()), qint16(r.y()),
        quint16(r.width()), quint16(r.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0);
    const X11::Reply<xcb_generic_error_t> attachError(xcb_request_check(c, attached));
    const X11::Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, cookie, nullptr));
    if (!attachError)
        X11::Reply<xcb_generic_error_t>(xcb_request_check(c, xcb_shm_detach_checked(c, segment)));
    // Both sides are attached (or never will be): the segment goes away with the last detach.
    shmctl(id, IPC_RMID, nullptr);
    if (attachError || !reply) {
        shmdt(memory);
        return {};
    }
    // The first read of each page of a fresh segment is a page fault, dear under a hypervisor; the overlay reads
    // every pixel on the GUI thread, so the pages are mapped here, on the grabbing thread, all in one call.
    madvise(memory, size_t(bytesPerLine * r.height()), 22); // MADV_POPULATE_READ (Linux 5.14): a hint
    return QImage(
        static_cast<uchar*>(memory), r.width(), r.height(), bytesPerLine, QImage::Format_RGB32,
        [](void* m) { shmdt(m); }, memory);
}

// Asks for the rectangle a band of rows at a time, each reply a fraction of a MiB, and copies the bands into one
// frame mapped up front: the buffers a band passes through on both sides are reused from band to band, where a
// single reply the size of the screen would be a fresh allocation in the server's output and in xcb, faulted in a
// page at a time. One band is asked for ahead, so the server does not wait for us, but replies do not pile up in
// its output buffer either.
QImage grabBands(xcb_connection_t* c, xcb_window_t root, const QRect& r)
{
    constexpr qsizetype bandBytes = 256 * 1024;
    constexpr int ahead = 1;
    const qsizetype bytesPerLine = qsizetype(r.width()) * 4;
    const int rows = int(qBound(qsizetype(1), bandBytes / bytesPerLine, qsizetype(r.height())));
    const int bands = (r.height() + rows - 1) / rows;
    QImage image = FrameMemory::allocate(r.size(), QImage::Format_RGB32);
    if (image.isNull())
        return {};
    std::vector<xcb_get_image_cookie_t> cookies(size_t(bands), xcb_get_image_cookie_t {});
    int asked = 0;
    const auto rowsOf = [&](int band) { return qMin(rows, r.height() - band * rows); };
    for (int band = 0; band < bands; ++band) {
        for (; asked < bands && asked <= band + ahead; ++asked)
            cookies[size_t(asked)] = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, qint16(r.x()),
                qint16(r.y() + asked * rows), quint16(r.width()), quint16(rowsOf(asked)), ~0u);
        const X11::Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(c, cookies[size_t(band)], nullptr));
        const qsizetype length = bytesPerLine * rowsOf(band);
        if (!reply || xcb_get_image_data_length(reply.get()) < length) {
            for (int other = band + 1; other < asked; ++other)
                xcb_discard_reply(c, cookies[size_t(other)].sequence);
            return {};
        }
        std::memcpy(image.scanLine(band * rows), xcb_get_image_data(reply.get()), size_t(length));
    }
    return image;
}

bool serverOffersShm(xcb_connection_t* c)
{
    const X11::Reply<xcb_shm_query_version_reply_t> version(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    return bool(version);
}

} // namespace

X11ScreenCapture::X11ScreenCapture(Path path)
    : m_path(path)
{
}

X11ScreenCapture::~X11ScreenCapture() = default;

bool X11ScreenCapture::isAvailable() const { return X11::connection() != nullptr; }

QRect X11ScreenCapture::devicePixelRect(const ScreenInfo& screen)
{
    return QRect(screen.frame.topLeft().toPoint(), (screen.frame.size() * screen.scale).toSize());
}

QImage X11ScreenCapture::grab(xcb_connection_t* c, const QRect& rect, bool useShm)
{
    if (!c || rect.isEmpty() || rect.width() > 0x7fff || rect.height() > 0x7fff || !rootIsRgb32(c))
        return {};
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    if (useShm) {
        // The server may refuse the segment (a remote display): read the pixels through the socket then.
        if (QImage image = grabShm(c, root, rect); !image.isNull())
            return image;
    }
    return grabBands(c, root, rect);
}

namespace {

// Outside the coroutine below: GCC 12 mishandles lambdas that capture a coroutine's locals.
QFuture<QList<QImage>> startGrabbing(WorkerThread& worker, const QList<ScreenInfo>& screens, bool preferShm)
{
    xcb_connection_t* c = X11::connection();
    QList<QRect> rects;
    for (const ScreenInfo& screen : screens)
        rects.append(X11ScreenCapture::devicePixelRect(screen));
    // xcb connections are thread-safe; the reply waits happen on the worker, not on the GUI thread.
    return worker.run([c, rects, preferShm] {
        const bool useShm = c && preferShm && serverOffersShm(c);
        QList<QImage> images;
        for (const QRect& rect : rects)
            images.append(X11ScreenCapture::grab(c, rect, useShm));
        return images;
    });
}

} // namespace

QCoro::Task<QList<QImage>> X11ScreenCapture::grabScreens(QList<ScreenInfo> screens)
{
    if (!m_worker)
        m_worker = std::make_unique<WorkerThread>(QStringLiteral("Screen capture"));
    QFuture<QList<QImage>> grabbing = startGrabbing(*m_worker, screens, m_path == Path::Shm);
    co_return co_await grabbing;
}

void X11ScreenCapture::setPointerHidden(bool hidden)
{
    xcb_connection_t* c = X11::connection();
    if (!c)
        return;
    // Checked, so a server without XFixes 4 answers with an error here instead of in Qt's event log.
    const xcb_void_cookie_t cookie = hidden ? xcb_xfixes_hide_cursor_checked(c, X11::rootWindow())
                                            : xcb_xfixes_show_cursor_checked(c, X11::rootWindow());
    xcb_discard_reply(c, cookie.sequence);
    xcb_flush(c);
}

bool X11ScreenCapture::unpaintedWindowsShowTheScreen()
{
    xcb_connection_t* c = X11::connection();
    if (!c || !rootIsRgb32(c) || !X11WindowPainter::serverRenders())
        return false;
    // A compositing manager owns this selection (EWMH). Under one, a window's pixels are its own and start out
    // empty; without one, a window that paints nothing keeps showing what was on the screen where it is.
    static const xcb_atom_t compositing = [c] {
        const X11::Reply<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 12, "_NET_WM_CM_S0"), nullptr));
        return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    }();
    return compositing != XCB_ATOM_NONE && X11::selectionOwner(compositing) == XCB_WINDOW_NONE;
}

std::unique_ptr<WindowPainter> X11ScreenCapture::windowPainter(QWindow& window)
{
    window.create();
    return X11WindowPainter::create(xcb_window_t(window.winId()));
}
