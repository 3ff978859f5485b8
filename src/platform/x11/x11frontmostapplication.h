#pragma once

#include "platform/desktopentries.h"
#include "platform/frontmostapplication.h"

#include <QAbstractNativeEventFilter>

// The owner of _NET_ACTIVE_WINDOW, followed through PropertyNotify on the root window. Everything is asked on
// Qt's connection from the main thread, which waits for the answers: two round trips to the local X server
// for the current application (the active window, then its properties and process together; one more while
// a window of ours is active), and two for each change of the active window.
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

    quint32 m_activeAtom = 0;
    mutable quint32 m_lastOtherWindow = 0;
    qint64 m_lastOtherPid = -1;
    mutable DesktopEntries m_desktopEntries;
};
