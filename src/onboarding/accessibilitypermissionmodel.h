#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>

class Accessibility;

// Behind the accessibility prompt: polls whether the desktop's accessibility support is on, turns it
// on when asked, and asks to be closed a moment after it is seen on. Main thread only.
class AccessibilityPermissionModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isGranted READ isGranted NOTIFY isGrantedChanged)
    Q_PROPERTY(bool isPolling READ isPolling NOTIFY isPollingChanged)

public:
    static constexpr std::chrono::milliseconds pollInterval { 2000 };
    static constexpr std::chrono::milliseconds dismissDelay { 1500 };

    static inline const QUrl viewUrl { QStringLiteral("qrc:/Quillora/onboarding/AccessibilityPermissionView.qml") };

    explicit AccessibilityPermissionModel(Accessibility& accessibility, QObject* parent = nullptr);

    bool isGranted() const { return m_granted; }
    bool isPolling() const { return m_timer.isActive(); }

    // The first check comes with the first tick, not at once.
    Q_INVOKABLE void startPolling();
    Q_INVOKABLE void stopPolling();
    // The button: switches the support on; where that fails, opens the desktop's accessibility settings.
    Q_INVOKABLE void turnOn();
    // The close button.
    Q_INVOKABLE void dismiss();

    // Switches the desktop's accessibility support on; where that fails, opens the desktop's accessibility
    // settings. Shared with the onboarding window's first step.
    static QCoro::Task<> switchOnSupport(Accessibility& accessibility);

signals:
    void isGrantedChanged();
    void isPollingChanged();
    void dismissRequested();

private:
    QCoro::Task<> checkPermission();

    Accessibility& m_accessibility;
    QTimer m_timer;
    bool m_granted = false;
    bool m_checking = false;
};
