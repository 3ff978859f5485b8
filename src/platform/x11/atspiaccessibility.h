#pragma once

#include "platform/accessibility.h"

#include <atomic>
#include <chrono>
#include <memory>

class WorkerThread;

// Accessibility through AT-SPI. libatspi is not thread-safe and its calls block, so every libatspi call
// runs on one thread of its own, which also is the only thread that runs GLib's default main context
// (libatspi attaches its connections there; the main thread runs Qt's own event dispatcher, see
// main.cpp). The main thread only awaits results, for at most the reading budget. The bus status is
// read over the session bus asynchronously. The destructor stops a reading under way at its next call
// and joins the thread, so it waits at most one call timeout.
class AtspiAccessibility final : public Accessibility {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds callTimeout { 300 };
    // A reading gives up once this much time has gone by, however many calls it still needed. The caller
    // stops waiting then too, even while a call to a stuck application is still under way.
    static constexpr std::chrono::milliseconds readingBudget { 400 };

    // Where the selection's rectangle is measured: on the screen (X11), or in its window (Wayland, where it
    // cannot place anything and is left out).
    enum class Rectangles { OnScreen, WindowRelative };
    explicit AtspiAccessibility(Rectangles rectangles = Rectangles::OnScreen);
    ~AtspiAccessibility() override;

    QCoro::Task<bool> isUsable() override;
    QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64 pid) override;
    QCoro::Task<bool> enable() override;

private:
    std::unique_ptr<WorkerThread> m_worker;
    std::atomic_bool m_stopping = false; // tells a reading under way to give up
    bool m_busy = false; // a reading is still running on the worker
    bool m_ownsContext = true; // m_thread could take GLib's default context for itself
    Rectangles m_rectangles;
};
