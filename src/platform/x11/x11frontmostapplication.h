#pragma once

#include "platform/frontmostapplication.h"

#include <QAbstractNativeEventFilter>
#include <QDateTime>
#include <QHash>

#include <memory>

// The owner of _NET_ACTIVE_WINDOW, followed through PropertyNotify on the root window.
class X11FrontmostApplication final : public FrontmostApplication, private QAbstractNativeEventFilter {
    Q_OBJECT

public:
    X11FrontmostApplication();
    ~X11FrontmostApplication() override;

    std::optional<FrontmostAppInfo> current() const override;

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    void activeWindowChanged();
    quint32 activeWindow() const;
    std::optional<FrontmostAppInfo> describe(quint32 window) const;

    struct DesktopEntry {
        QString id;
        QString name;
        bool terminal = false;
    };
    std::optional<DesktopEntry> desktopEntryFor(
        const QString& id, const QString& wmInstance, const QString& wmClass) const;
    void refreshDesktopEntries() const;

    quint32 m_activeAtom = 0;
    mutable quint32 m_lastOtherWindow = 0;
    qint64 m_lastOtherPid = -1;

    struct DesktopIndex {
        QHash<QString, DesktopEntry> byId; // file name without .desktop
        QHash<QString, DesktopEntry> byLowerId;
        QHash<QString, DesktopEntry> byWmClass; // StartupWMClass
        QHash<QString, QDateTime> directoryTimes;
    };
    mutable DesktopIndex m_desktop;
};
