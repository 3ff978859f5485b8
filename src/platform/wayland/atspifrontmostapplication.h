#pragma once

#include "platform/desktopentries.h"
#include "platform/frontmostapplication.h"
#include "platform/x11/atspireading.h"

#include <QElapsedTimer>
#include <QStringList>

#include <chrono>
#include <memory>

class AtspiThread;

// What the AT-SPI thread found out about a window that became active, and about its process.
struct ActivatedWindow {
    AtspiReading::Window window;
    QString flatpakId;
    QStringList launchedIds;
    QString command;
    bool announced = true; // false for the window found active at start
    std::chrono::steady_clock::time_point activatedAt; // when the AT-SPI thread learnt of it
};

// Lives on the AT-SPI thread; hands what it learns to the main thread through its queued signal.
class AtspiWindowRelay final : public QObject {
    Q_OBJECT

signals:
    void activated(const ActivatedWindow& window);
    // at: when the AT-SPI thread learnt of it, in steady_clock's nanoseconds
    void deactivated(qint64 at);
};

// The application of the active window where clients cannot see windows (Wayland): applications tell the
// accessibility bus when one of their windows becomes active, and the AT-SPI thread follows those events.
// The main thread keeps the latest one and never waits for the bus: current() reads what the last event
// brought.
// Applications that are not on the accessibility bus are not seen: when the window last reported loses its
// activation, the active application is unknown, unless one of Quillora's own windows took it over, where the
// application the user came from stays current.
class AtspiFrontmostApplication final : public FrontmostApplication {
    Q_OBJECT

public:
    explicit AtspiFrontmostApplication(std::shared_ptr<AtspiThread> thread);
    ~AtspiFrontmostApplication() override;

    std::optional<FrontmostAppInfo> current() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowActivated(const ActivatedWindow& activated);
    void windowDeactivated(qint64 at);
    FrontmostAppInfo describe(const ActivatedWindow& activated) const;

    std::shared_ptr<AtspiThread> m_thread;
    AtspiWindowRelay* m_relay = nullptr; // lives on the AT-SPI thread, which deletes it
    std::optional<ActivatedWindow> m_window; // the latest active window of another process
    std::optional<ActivatedWindow> m_deactivated; // that window once it lost its activation
    std::chrono::steady_clock::time_point m_deactivatedAt;
    // When a window of ours last went away: Qt may not tell that it lost the keyboard then.
    std::chrono::steady_clock::time_point m_ownWindowLeftAt;
    mutable std::optional<FrontmostAppInfo> m_described; // m_window, named
    mutable DesktopEntries m_desktopEntries;
    QElapsedTimer m_sinceOwnWindowFocused; // restarted whenever a window of ours gets the keyboard
};
