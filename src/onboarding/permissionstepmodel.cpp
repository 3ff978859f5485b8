#include "onboarding/permissionstepmodel.h"

#include <QPointer>

PermissionStepModel::PermissionStepModel(
    Check isGranted, std::function<void()> onOpenSettings, std::chrono::milliseconds pollInterval, QObject* parent)
    : QObject(parent)
    , m_isGranted(std::move(isGranted))
    , m_onOpenSettings(std::move(onOpenSettings))
{
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, [this] { check(); });
}

void PermissionStepModel::start()
{
    if (m_onScreen || m_granted)
        return;
    m_onScreen = true;
    m_timer.start();
    check();
}

void PermissionStepModel::stop()
{
    m_onScreen = false;
    m_timer.stop();
}

void PermissionStepModel::openSettings()
{
    if (m_onOpenSettings)
        m_onOpenSettings();
    // The answer may already have changed (on X11 screenshots need no one's consent): look again now.
    check();
}

QCoro::Task<> PermissionStepModel::check()
{
    if (m_checking || !m_onScreen)
        co_return; // a slow desktop must not pile up checks
    m_checking = true;
    QPointer<PermissionStepModel> self(this);
    const bool granted = co_await m_isGranted();
    if (!self)
        co_return;
    m_checking = false;
    if (!granted || m_granted || !m_onScreen)
        co_return;
    m_granted = true;
    stop();
    emit grantedChanged();
    emit seenGranted();
}
