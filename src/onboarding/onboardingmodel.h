#pragma once

#include "onboarding/permissionstepmodel.h"

#include <QObject>

#include <chrono>
#include <functional>

class Accessibility;

// Behind the onboarding window: step 0 waits for the desktop's accessibility support, step 1 for
// screenshots being possible in this session; a moment after the last one is seen granted, or at once
// on "Skip for now", it asks to complete. Main thread only.
class OnboardingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int step READ step NOTIFY stepChanged)
    Q_PROPERTY(PermissionStepModel* accessibilityStep READ accessibilityStep CONSTANT)
    Q_PROPERTY(PermissionStepModel* screenshotStep READ screenshotStep CONSTANT)

public:
    struct Timing {
        std::chrono::milliseconds pollInterval { 1500 };
        std::chrono::milliseconds completionDelay { 1200 };
    };

    struct Screenshots {
        std::function<bool()> possible; // without prompting anyone
        std::function<void()> request; // asks the desktop once (a portal dialog); may be empty
    };

    OnboardingModel(int initialStep, Accessibility& accessibility, Screenshots screenshots, Timing timing,
        QObject* parent = nullptr);

    int step() const { return m_step; }
    PermissionStepModel* accessibilityStep() const { return m_steps[0]; }
    PermissionStepModel* screenshotStep() const { return m_steps[1]; }

    // The window is on screen with the current step's card, or no longer.
    void start();
    void stop();

    // "Skip for now".
    Q_INVOKABLE void skip() { emit completeRequested(); }

signals:
    void stepChanged();
    void completeRequested();

private:
    PermissionStepModel* m_steps[2];
    Timing m_timing;
    int m_step;
    bool m_onScreen = false;
};
