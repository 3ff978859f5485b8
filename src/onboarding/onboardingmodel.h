#pragma once

#include "onboarding/permissionstepmodel.h"
#include "platform/screencapture.h"

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
    Q_PROPERTY(QString screenshotNote READ screenshotNote NOTIFY screenshotNoteChanged)

public:
    struct Timing {
        std::chrono::milliseconds pollInterval { 1500 };
        std::chrono::milliseconds completionDelay { 1200 };
    };

    struct Screenshots {
        std::function<QCoro::Task<bool>()> allowed; // now, without asking anyone; may be empty: not allowed
        // Has the desktop ask once (its own dialog) and says what was answered; may be empty. The answer may take
        // as long as the user leaves the dialog open.
        std::function<QCoro::Task<ScreenCapture::Permission>()> request;
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
    // What the desktop's answer to the screenshot question left to say (a refusal); empty otherwise.
    QString screenshotNote() const { return m_screenshotNote; }
    static inline const QString screenshotsRefusedNote = QStringLiteral(
        "Screenshots were not allowed, so Alt+Z cannot work; Alt+X and Alt+A work without them.\n\n"
        "Your desktop keeps this answer. To be asked again, run: flatpak permission-remove screenshot screenshot");

    // The window is on screen with the current step's card, or no longer.
    void start();
    void stop();

    // "Skip for now".
    Q_INVOKABLE void skip() { emit completeRequested(); }

signals:
    void stepChanged();
    void completeRequested();
    void shortcutsNoteChanged();
    void screenshotNoteChanged();
    // The desktop said no to screenshots when asked from the screenshot step.
    void screenshotsRefused();

private:
    QCoro::Task<> setUpShortcuts(DesktopShortcuts& shortcuts);
    QCoro::Task<> requestScreenshots();
    void moveTo(int step);

    PermissionStepModel* m_steps[3] = {};
    QString m_shortcutsNote;
    QString m_screenshotNote;
    Screenshots m_screenshots;
    bool m_askingForScreenshots = false;
    Timing m_timing;
    int m_step;
    bool m_onScreen = false;
};
