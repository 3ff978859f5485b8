#include "onboarding/accessibilitypermissionmodel.h"

#include "platform/accessibility.h"

#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

AccessibilityPermissionModel::AccessibilityPermissionModel(Accessibility& accessibility, QObject* parent)
    : QObject(parent)
    , m_accessibility(accessibility)
{
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, [this] { checkPermission(); });
}

void AccessibilityPermissionModel::startPolling()
{
    if (m_timer.isActive() || m_granted)
        return;
    m_timer.start();
    emit isPollingChanged();
}

void AccessibilityPermissionModel::stopPolling()
{
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    emit isPollingChanged();
}

QCoro::Task<> AccessibilityPermissionModel::checkPermission()
{
    if (m_checking)
        co_return; // a slow bus must not pile up checks
    m_checking = true;
    QPointer<AccessibilityPermissionModel> self(this);
    const bool usable = co_await m_accessibility.isUsable();
    if (!self)
        co_return;
    m_checking = false;
    if (!usable || m_granted || !m_timer.isActive())
        co_return;
    m_granted = true;
    emit isGrantedChanged();
    stopPolling();
    QTimer::singleShot(dismissDelay, this, [this] { emit dismissRequested(); });
}

void AccessibilityPermissionModel::turnOn() { switchOnSupport(m_accessibility); }

QCoro::Task<> AccessibilityPermissionModel::switchOnSupport(Accessibility& accessibility)
{
    // The platform's facility outlives every model and window.
    if (co_await accessibility.enable())
        co_return;
    // GNOME's and KDE's accessibility pages; other desktops have no common place.
    const QList<QStringList> settings { { QStringLiteral("gnome-control-center"), QStringLiteral("universal-access") },
        { QStringLiteral("systemsettings"), QStringLiteral("kcm_access") } };
    for (const QStringList& command : settings) {
        const QString program = QStandardPaths::findExecutable(command.first());
        if (!program.isEmpty() && QProcess::startDetached(program, command.mid(1)))
            co_return;
    }
}

void AccessibilityPermissionModel::dismiss()
{
    stopPolling();
    emit dismissRequested();
}
