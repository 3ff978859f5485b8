#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

// One onboarding step: while its card is on screen it asks whether its permission is granted, at once and
// then at every poll, and says so once when it is. Main thread only.
class PermissionStepModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool granted READ granted NOTIFY grantedChanged)

public:
    using Check = std::function<QCoro::Task<bool>()>;

    PermissionStepModel(Check isGranted, std::function<void()> onOpenSettings, std::chrono::milliseconds pollInterval,
        QObject* parent = nullptr);

    bool granted() const { return m_granted; }
    bool isPolling() const { return m_timer.isActive(); }

    // The card came on screen: check now, then poll until granted or stop().
    void start();
    // The card left the screen.
    void stop();
    // The card's button.
    Q_INVOKABLE void openSettings();

signals:
    void grantedChanged();
    // Once, when the permission is first seen granted while the card is on screen.
    void seenGranted();

private:
    QCoro::Task<> check();

    Check m_isGranted;
    std::function<void()> m_onOpenSettings;
    QTimer m_timer;
    bool m_onScreen = false;
    bool m_checking = false;
    bool m_granted = false;
};
