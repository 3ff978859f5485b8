#pragma once

#include <QByteArray>
#include <QRectF>
#include <QString>

#include <cstdlib>
#include <memory>
#include <optional>

#include <xcb/xcb.h>

// Small helpers over Qt's own xcb connection. Main thread only; each call is one short round trip to
// the local X server.
namespace X11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Owns an xcb reply (or event), which xcb allocates with malloc.
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* connection();
// A connection of our own to the display, for event streams and waits that must stay off Qt's; null when
// the server cannot be reached. The caller disconnects it.
xcb_connection_t* openPrivateConnection();
xcb_window_t rootWindow();
xcb_atom_t atom(const char* name);

// A property's raw bytes; absent when the window lacks it.
std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, quint32 maxLength = 4096);
std::optional<quint32> cardinalProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
std::optional<QString> utf8Property(xcb_window_t window, const char* name);

// X11 screen pixels to Qt's logical pixels, the units the core works in.
QRectF toLogical(const QRectF& screenPixels);

// The window that owns the selection (PRIMARY, CLIPBOARD, ...); XCB_WINDOW_NONE when nobody does.
xcb_window_t selectionOwner(xcb_atom_t selection);

// The process that owns the X client of the window: the X-Resource extension names the connecting
// process (the host pid even for sandboxed applications); _NET_WM_PID when that extension is missing.
qint64 processOfWindow(xcb_window_t window);

} // namespace X11
