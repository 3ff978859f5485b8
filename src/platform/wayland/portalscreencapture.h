#pragma once

#include "platform/screencapture.h"
#include "platform/workerthread.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

// Screenshots through the desktop portal's Screenshot (never interactive): the desktop writes the whole screen
// to a file, which is read off the main thread, deleted, and cut into one image per screen for the overlay.
class PortalScreenCapture : public QObject, public ScreenCapture {
    Q_OBJECT

public:
    static inline const QString interface = QStringLiteral("org.freedesktop.portal.Screenshot");
    // A screenshot file larger than this is not read (a 7680x4320 PNG is far smaller).
    static constexpr qint64 maximumFileSize = 256 * 1024 * 1024;

    static inline const QString permissionStore = QStringLiteral("org.freedesktop.impl.portal.PermissionStore");

    // desktopAsksFirst: the desktop asks the user once before the first screenshot (GNOME: the portal's own
    // "Allow Applications to Take Screenshots?", whose answer it keeps in the permission store).
    explicit PortalScreenCapture(QDBusConnection bus, bool desktopAsksFirst = false, QObject* parent = nullptr);
    ~PortalScreenCapture() override;

    // Until the portal has said whether it has the interface, a capture is worth trying.
    bool isAvailable() const override { return m_available.value_or(true); }
    QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) override;
    // Where the desktop asks first: allowed once a screenshot has come, else what the permission store holds for
    // programs outside a sandbox (the portal's "screenshot" entry), read within the deadline.
    QCoro::Task<Permission> permission() override;
    // The desktop draws the pointer into its screenshots or not; nothing to hide.
    void setPointerHidden(bool) override { }
    // Only Wayland sessions use the portal's screenshots here.
    bool unpaintedWindowsShowNothing() override { return true; }
    // How long the portal has to answer; tests shorten it.
    void setDeadline(std::chrono::milliseconds deadline) { m_deadline = deadline; }

    // The whole-desktop image cut into one image per screen: each screen's logical frame, scaled by the image's
    // pixels per logical unit. Screens outside the image get a null image.
    static QList<QImage> cutIntoScreens(const QImage& whole, const QList<ScreenInfo>& screens);
    // Reads a screenshot the portal wrote (an image file of bounded size) and deletes it; null when it is missing,
    // too large or not an image.
    static QImage takeScreenshotFile(const QString& path);

signals:
    void captureEnded();

private:
    QCoro::Task<> learnAvailability();

    QDBusConnection m_bus;
    std::chrono::milliseconds m_deadline { 30'000 };
    std::optional<bool> m_available;
    bool m_asksFirst = false;
    bool m_allowed = false; // a screenshot has come
    bool m_capturing = false;
    std::unique_ptr<WorkerThread> m_reader;
};
