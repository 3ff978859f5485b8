#pragma once

#include "platform/screencapture.h"

#include <QRect>

#include <memory>

#include <xcb/xcb.h>

class WorkerThread;

// Reads the screens' pixels from the root window, in bands of rows through the connection into one frame
// mapped up front (FrameMemory), or through a fresh shared-memory segment (MIT-SHM) the X server writes into.
// The bands are the default: a fresh segment is touched a page at a time by the server, and where page faults
// are dear (a virtual machine) that alone costs more than sending the pixels through the socket. The grabs wait
// on the server on a thread of our own, which the destructor joins once the grab under way has ended.
class X11ScreenCapture final : public ScreenCapture {
public:
    enum class Path { Bands, Shm };

    explicit X11ScreenCapture(Path path = Path::Bands);
    ~X11ScreenCapture() override;

    bool isAvailable() const override;
    QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) override;
    void setPointerHidden(bool hidden) override;
    bool unpaintedWindowsShowTheScreen() override;
    std::unique_ptr<WindowPainter> windowPainter(QWindow& window) override;

    // The screen's rectangle on the root window, in device pixels. Qt keeps a screen's top-left corner
    // in device pixels and divides only its size by the scale.
    static QRect devicePixelRect(const ScreenInfo& screen);
    // One rectangle of the root window as an RGB32 image; null when the server refuses or its pixel
    // layout is not 32-bit TrueColor. useShm: through MIT-SHM where the server offers it, else in bands.
    // Blocks on the server: call it off the GUI thread. Thread-safe.
    static QImage grab(xcb_connection_t* connection, const QRect& rect, bool useShm);

private:
    Path m_path;
    std::unique_ptr<WorkerThread> m_worker; // started by the first grab
};
