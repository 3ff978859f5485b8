#pragma once

#include "platform/pasteboard.h"

#include <chrono>
#include <memory>

class DataControlConnection;

// The Wayland clipboard through the wlroots data-control protocol (KDE Plasma, wlroots desktops), which
// reads and owns the clipboard without keyboard focus. It talks to the compositor on a connection and a
// thread of its own, so a slow or silent application never stalls the main thread; every read ends by its
// deadline. The clipboard restored from a snapshot is served until another client takes it, and only
// while this object lives. Wayland does not tell which process owns the clipboard or the primary selection.
class DataControlPasteboard final : public Pasteboard {
    Q_OBJECT

public:
    struct Limits {
        std::chrono::milliseconds readTimeout { 300 };
        qsizetype maximumTextBytes = 4 * 1024 * 1024;
        qsizetype maximumSnapshotBytes = 64 * 1024 * 1024;
    };

    // Null when there is no Wayland display or its compositor lacks data-control. Waits for the compositor's
    // first answers (at most DataControlConnection::setUpTimeout): KWin 5.27 takes about 10 ms per MB of
    // the calling program's executable before it answers a new client.
    static std::unique_ptr<DataControlPasteboard> create(Limits limits);
    static std::unique_ptr<DataControlPasteboard> create();
    // Returns at once, null only without a Wayland display; available() tells later whether the compositor
    // has data-control. Until then requests wait; without it they come back with nothing.
    static std::unique_ptr<DataControlPasteboard> start(Limits limits);
    QCoro::Task<bool> available();
    ~DataControlPasteboard() override;

    quint64 changeCount() const override { return m_changeCount; }
    QCoro::Task<std::optional<QString>> text() override;
    QCoro::Task<std::optional<PasteboardSnapshot>> snapshot() override;
    void restore(const PasteboardSnapshot& snapshot) override;
    QCoro::Task<qint64> ownerPid() override { co_return 0; }
    // Data-control does not tell who set the primary selection: its text is taken only when the selection
    // was set after app's window became active, so that one made before, in another application, never is.
    QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(const FrontmostAppInfo& app) override;

private:
    DataControlPasteboard() = default;

    std::unique_ptr<DataControlConnection> m_connection;
    quint64 m_changeCount = 0;
};

// The session's clipboard on a Wayland desktop with data-control; null elsewhere (see create()).
std::unique_ptr<Pasteboard> makeDataControlPasteboard();
