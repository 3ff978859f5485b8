#pragma once

#include "platform/screencapture.h"

#include <QRect>

#include <memory>

#include <xcb/xcb.h>

class WorkerThread;

// Reads the screens' pixels from the root window: through a shared-memory segment the X server writes
// into (MIT-SHM) when it offers one to us, else as a plain GetImage reply. Either way the image owns the
// buffer the server filled, so a grab costs no copy on our side. The grabs wait on the server on a
// thread of our own, which the destructor joins once the grab under way has ended.
class X11ScreenCapture final : public ScreenCapture {
public:
    enum class Path { Fastest, GetImage };

    explicit X11ScreenCapture(Path path = Path::Fastest);
    ~X11ScreenCapture() override;

    bool isAvailable() const override;
    QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) override;
    void setPointerHidden(bool hidden) override;

    // The screen's rectangle on the root window, in device pixels. Qt keeps a screen's top-left corner
    // in device pixels and divides only its size by the scale.
    static QRect devicePixelRect(const ScreenInfo& screen);
    // One rectangle of the root window as an RGB32 image; null when the server refuses or its pixel
    // layout is not 32-bit TrueColor. Blocks for one round trip: call it off the GUI thread. Thread-safe.
    static QImage grab(xcb_connection_t* connection, const QRect& rect, bool useShm);

private:
    Path m_path;
    std::unique_ptr<WorkerThread> m_worker; // started by the first grab
};
