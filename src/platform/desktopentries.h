#pragma once

#include <QFuture>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>

class WorkerThread;
struct _GAppInfoMonitor;
struct _GMainContext;

// The installed applications' desktop entries, as GIO finds them (every applications folder of the XDG data
// dirs, sub-folders included, names in the user's language). They are indexed on a thread of our own, once
// at start and again whenever GIO reports that an entry changed; lookups read the latest complete index and
// never touch the files. Only a lookup made before the first index is done waits for it. Main thread only.
class DesktopEntries {
public:
    struct Entry {
        QString id; // the file's desktop id without ".desktop"
        QString name;
        bool terminal = false; // in the TerminalEmulator category
    };

    DesktopEntries();
    ~DesktopEntries();
    DesktopEntries(const DesktopEntries&) = delete;
    DesktopEntries& operator=(const DesktopEntries&) = delete;

    std::optional<Entry> byId(const QString& id);
    // The entry whose StartupWMClass is the window's class (or else its instance); else the one whose id is
    // either of them, ignoring case.
    std::optional<Entry> byWindowClass(const QString& wmClass, const QString& wmInstance);

    struct Index {
        QHash<QString, Entry> byId;
        QHash<QString, Entry> byLowerId;
        QHash<QString, Entry> byWmClass;
    };

private:
    const Index& index();

    std::unique_ptr<WorkerThread> m_worker;
    std::shared_ptr<const Index> m_index;
    QFuture<std::shared_ptr<const Index>> m_building;
    _GMainContext* m_monitorContext = nullptr; // where GIO tells of changes
    _GAppInfoMonitor* m_monitor = nullptr;
    bool m_changed = false;
};
