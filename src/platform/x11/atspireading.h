#pragma once

#include <QRectF>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

// The libatspi calls themselves. Every function here must run on the one AT-SPI thread.
namespace AtspiReading {

struct Selection {
    QString text; // empty when the focused element holds no selection
    std::optional<QRectF> rect; // screen pixels
    bool inTerminal = false; // the focused element (or one on its focused chain) is a terminal
};

// What an application says about one of its windows, each text cut to a bounded length.
struct Window {
    qint64 pid = 0; // 0 when the bus does not know it
    QString applicationName; // the application's accessible name (GTK: its program name)
    QString title; // the window's accessible name
};

// Makes this thread the only one that runs GLib's default main context, which libatspi attaches its
// connections to. False when another thread already owns that context: libatspi must not be used then.
bool takeDefaultContext();

// Serves what arrived on the accessibility connections since the last call, without waiting.
void dispatchPending();

// The selection of the focused element in the active window of process pid (any process but
// ownPid when pid is 0, or when pid's accessible tree has no active window). Absent when no focused
// element was found. Gives up before its next call once stop is set.
std::optional<Selection> focusedSelection(qint64 pid, qint64 ownPid, std::chrono::milliseconds callTimeout,
    std::chrono::milliseconds budget, const std::atomic_bool& stop);

// Connects to the accessibility bus once; later calls do nothing.
void initialize(std::chrono::milliseconds callTimeout);

// The window of another process than ownPid that is active now, found within budget.
std::optional<Window> activeWindow(qint64 ownPid, std::chrono::milliseconds budget, const std::atomic_bool& stop);

// Calls activated, on this thread while it serves the default context, for each window of another process
// than ownPid that becomes active, until stopFollowingWindows(). Each event costs up to two calls to the
// window's application (its name, the window's), each bounded by the call timeout. Calls deactivated when the
// window last reported loses its activation (to a window that may not be on the accessibility bus at all).
void followWindows(qint64 ownPid, std::function<void(const Window&)> activated, std::function<void()> deactivated);
void stopFollowingWindows();

// Lets go of what this thread holds of libatspi (the focus history, GLib's default context); the last
// call on the thread.
void releaseThread();

} // namespace AtspiReading
