#pragma once

#include "platform/desktopshortcuts.h"
#include "platform/wayland/gnomecustomshortcuts.h"

#include <QDBusConnection>

#include <memory>
#include <optional>

class WorkerThread;

// Quillora's three keys as GNOME custom shortcuts running `quillora --explain-selection`, `--explain-screenshot`
// and `--ask`, which hand the action to the running instance. Offered on GNOME before 48, whose portal has no
// global shortcuts, where GNOME's settings schemas are installed. The settings are read and written on a worker
// thread of this object's; the main thread only awaits the answer.
class GnomeDesktopShortcuts final : public DesktopShortcuts {
public:
    // program: the command the shortcuts run, by its absolute path where Quillora is installed (gsd-media-keys runs
    // commands with the session's PATH, which need not reach a user's own prefix, and another `quillora` earlier
    // on it must not answer our keys); bus: where GNOME Shell tells its version.
    GnomeDesktopShortcuts(QString program, QDBusConnection bus, QString schemaDirectory = {});
    ~GnomeDesktopShortcuts() override;

    QCoro::Task<bool> isOffered() override;
    QCoro::Task<bool> areSetUp() override;
    QCoro::Task<QMap<QString, QString>> keysSetUp() override;
    QCoro::Task<Outcome> setUp() override;
    QCoro::Task<Outcome> remove() override;

    // Whether XDG_CURRENT_DESKTOP names GNOME.
    static bool isGnomeSession();
    // Quillora's keys and what they run.
    static QList<GnomeCustomShortcuts::Shortcut> quilloraShortcuts(const QString& program);

private:
    static Outcome outcomeOf(const GnomeCustomShortcuts::Report& report);

    GnomeCustomShortcuts m_shortcuts;
    QDBusConnection m_bus;
    std::unique_ptr<WorkerThread> m_worker;
    std::optional<bool> m_offered;
};
