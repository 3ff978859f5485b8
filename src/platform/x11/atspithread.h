#pragma once

#include "platform/workerthread.h"

#include <memory>

// The one thread that runs libatspi (which is not thread-safe) and GLib's default main context, which
// libatspi attaches its connections to. The main thread runs Qt's own event dispatcher (main.cpp sets
// QT_NO_GLIB), so nothing else iterates that context. The AT-SPI reader and the window-activation listener
// share one of these: each gets it from the platform that installs them.
//
// By default the context is served every quarter of a second, which is enough to keep what the
// applications send from piling up between readings. serveContinuously() makes the thread serve it as soon
// as one of its file descriptors is ready, for listeners that want events when they happen.
class AtspiThread final {
public:
    AtspiThread();
    ~AtspiThread();
    AtspiThread(const AtspiThread&) = delete;
    AtspiThread& operator=(const AtspiThread&) = delete;

    // False when the main thread runs GLib's default context itself: libatspi is not used then.
    bool usable() const { return m_usable; }

    // True on the AT-SPI thread once it owns GLib's default context; only that thread may ask.
    static bool ownsContextHere();

    WorkerThread& worker() { return *m_worker; }

    // From any thread; takes effect on the AT-SPI thread.
    void serveContinuously();

private:
    std::unique_ptr<WorkerThread> m_worker;
    bool m_usable = true;
};
