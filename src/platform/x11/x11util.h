#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <xcb/xcb.h>

// Small helpers over Qt's own xcb connection. Main thread only; each call is one short round trip to
// the local X server.
namespace X11 {

xcb_connection_t* connection();
xcb_window_t rootWindow();
xcb_atom_t atom(const char* name);

// A property's raw bytes; absent when the window lacks it.
std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, quint32 maxLength = 4096);
std::optional<quint32> cardinalProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
std::optional<QString> utf8Property(xcb_window_t window, const char* name);

// The process that owns the X client of the window: the X-Resource extension names the connecting
// process (the host pid even for sandboxed applications); _NET_WM_PID when that extension is missing.
qint64 processOfWindow(xcb_window_t window);

} // namespace X11
