#pragma once

#include "onboarding/permissionstepmodel.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class Accessibility;
class DesktopShortcuts;

// Behind the onboarding window: step 0 waits for the desktop's accessibility support, step 1 for
// screenshots being possible in this session, and, on a desktop where Quillora's keys are set up in the desktop's
// own settings, step 2 for those keys; a moment after the last one is seen granted, or at once on "Skip for now",
// it asks to complete. Main thread only.
class OnboardingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int step READ step NOTIFY stepChanged)
    Q_PROPERTY(PermissionStepModel* accessibilityStep READ accessibilityStep CONSTANT)
    Q_PROPERTY(PermissionStepModel* screenshotStep READ screenshotStep CONSTANT)
    Q_PROPERTY(PermissionStepModel* shortcutsStep READ shortcutsStep CONSTANT)
    Q_PROPERTY(int stepCount READ stepCount CONSTANT)
    Q_PROPERTY(QString shortcutsNote READ shortcutsNote NOTIFY shortcutsNoteChanged)

public:
    struct Timing {
        std::chrono::milliseconds pollInterval { 1500 };
        std::chrono::milliseconds completionDelay { 1200 };
    };

    struct Screenshots {
        std::function<bool()> possible; // without prompting anyone
        std::function<void()> request; // asks the desktop once (a portal dialog); may be empty
    };

    // shortcuts: where the keys step is offered, the desktop's shortcuts; null for two steps.
    OnboardingModel(int initialStep, Accessibility& accessibility, Screenshots screenshots, Timing timing,
        DesktopShortcuts* shortcuts = nullptr, QObject* parent = nullptr);

    int step() const { return m_step; }
    PermissionStepModel* accessibilityStep() const { return m_steps[0]; }
    PermissionStepModel* screenshotStep() const { return m_steps[1]; }
    PermissionStepModel* shortcutsStep() const { return m_steps[2]; }
    int stepCount() const { return m_steps[2] ? 3 : 2; }
    // What setting the keys up left to say (a key that something else holds); empty otherwise.
    QString shortcutsNote() const { return m_shortcutsNote; }

    // The window is on screen with the current step's card, or no longer.
    void start();
    void stop();

    // "Skip for now".
    Q_INVOKABLE void skip() { emit completeRequested(); }

signals:
    void stepChanged();
    void completeRequested();
    void shortcutsNoteChanged();

private:
    QCoro::Task<> setUpShortcuts(DesktopShortcuts& shortcuts);
    void moveTo(int step);

    PermissionStepModel* m_steps[3] = {};
    QString m_shortcutsNote;
    Timing m_timing;
    int m_step;
    bool m_onScreen = false;
};
