#pragma once

#include <QRectF>

#include <cstdlib>
#include <memory>

#include <xcb/res.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

// Small helpers over xcb connections: Qt's own (main thread only) and the private ones of the backends.
// A function that returns an answer from the server waits for it: one round trip to the local X server,
// a fraction of a millisecond, on the calling thread.
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

// The atoms Quillora names on one connection: the EWMH ones through xcb-ewmh, and the few others interned
// in the same batch. The constructor waits for that batch: one round trip. Used by one thread at a time.
class Atoms {
public:
    explicit Atoms(xcb_connection_t* connection);
    ~Atoms();
    Atoms(const Atoms&) = delete;
    Atoms& operator=(const Atoms&) = delete;

    // For the xcb_ewmh_* calls; its atoms are XCB_ATOM_NONE when the server could not be asked.
    xcb_ewmh_connection_t* ewmh() { return &m_ewmh; }

    xcb_atom_t clipboard = XCB_ATOM_NONE;
    xcb_atom_t targets = XCB_ATOM_NONE;
    xcb_atom_t incr = XCB_ATOM_NONE;
    xcb_atom_t transferProperty = XCB_ATOM_NONE; // where selection owners put what we ask them for
    xcb_atom_t gtkApplicationId = XCB_ATOM_NONE;
    xcb_atom_t kdeDesktopFile = XCB_ATOM_NONE;

private:
    xcb_ewmh_connection_t m_ewmh {};
    bool m_ewmhReady = false;
};

// The atoms of Qt's connection, interned on first use.
Atoms& atoms();

// X11 screen pixels to Qt's logical pixels, the units the core works in.
QRectF toLogical(const QRectF& screenPixels);

// The window that owns the selection (PRIMARY, CLIPBOARD, ...); XCB_WINDOW_NONE when nobody does.
xcb_window_t selectionOwner(xcb_atom_t selection);

// The process that owns the X client of a window: the X-Resource extension names the connecting process
// (the host pid even for sandboxed applications); _NET_WM_PID when that extension is missing. Both are
// asked at once, so a caller can send the question with others and collect the answer after them.
class ProcessQuery {
public:
    ProcessQuery(xcb_connection_t* connection, Atoms& atoms, xcb_window_t window);
    // Waits for the answers; 0 when neither names a process.
    qint64 pid();

private:
    xcb_connection_t* m_connection;
    Atoms& m_atoms;
    bool m_asked = false;
    xcb_res_query_client_ids_cookie_t m_clientIds {};
    xcb_get_property_cookie_t m_wmPid {};
};

// On Qt's connection.
qint64 processOfWindow(xcb_window_t window);

} // namespace X11
