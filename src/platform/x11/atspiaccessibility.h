#pragma once

#include "platform/accessibility.h"

#include <atomic>
#include <chrono>
#include <memory>

class AtspiThread;

// Accessibility through AT-SPI. libatspi is not thread-safe and its calls block, so every libatspi call
// runs on the AT-SPI thread (see atspithread.h), which also is the only thread that runs GLib's default
// main context. The main thread only awaits results, for at most the reading budget. The bus status is
// read over the session bus asynchronously. The destructor stops a reading under way at its next call; the
// last owner of the AT-SPI thread joins it, and so waits at most one call timeout.
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
    // Without a thread to share, the reader starts one of its own.
    explicit AtspiAccessibility(
        Rectangles rectangles = Rectangles::OnScreen, std::shared_ptr<AtspiThread> thread = nullptr);
    ~AtspiAccessibility() override;

    QCoro::Task<bool> isUsable() override;
    QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64 pid) override;
    QCoro::Task<bool> enable() override;

private:
    std::shared_ptr<AtspiThread> m_thread;
    // Tells a reading under way to give up; shared, as the thread may outlive this reader.
    std::shared_ptr<std::atomic_bool> m_stopping = std::make_shared<std::atomic_bool>(false);
    bool m_busy = false; // a reading is still running on the worker
    Rectangles m_rectangles;
};
