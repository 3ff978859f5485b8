#include "onboarding/onboardingmodel.h"

#include "onboarding/accessibilitypermissionmodel.h"
#include "platform/accessibility.h"
#include "platform/desktopshortcuts.h"

#include <QPointer>
#include <QTimer>

namespace {
QCoro::Task<bool> notAllowed() { co_return false; }
} // namespace

OnboardingModel::OnboardingModel(int initialStep, Accessibility& accessibility, Screenshots screenshots, Timing timing,
    DesktopShortcuts* shortcuts, QObject* parent)
    : QObject(parent)
    , m_screenshots(std::move(screenshots))
    , m_timing(timing)
    , m_step(0)
{
    // The same check and switch-on as the accessibility prompt's.
    m_steps[0] = new PermissionStepModel([&accessibility] { return accessibility.isUsable(); },
        [&accessibility] { AccessibilityPermissionModel::switchOnSupport(accessibility); }, timing.pollInterval, this);
    // Polled while the desktop's question may be open: its answer lands in the permission store, where the next
    // poll sees it.
    m_steps[1]
        = new PermissionStepModel([this] { return m_screenshots.allowed ? m_screenshots.allowed() : notAllowed(); },
            [this] { requestScreenshots(); }, timing.pollInterval, this);

    // The platform's facility outlives every model and window.
    if (shortcuts) {
        m_steps[2] = new PermissionStepModel([shortcuts] { return shortcuts->areSetUp(); },
            [this, shortcuts] { setUpShortcuts(*shortcuts); }, timing.pollInterval, this);
    }
    m_step = initialStep > 0 && initialStep < stepCount() ? initialStep : 0;

    for (int step = 0; step < stepCount(); ++step) {
        connect(m_steps[step], &PermissionStepModel::seenGranted, this, [this, step] {
            if (step + 1 < stepCount())
                moveTo(step + 1);
            else
                QTimer::singleShot(m_timing.completionDelay, this, &OnboardingModel::completeRequested);
        });
    }
}

void OnboardingModel::moveTo(int step)
{
    m_step = step;
    emit stepChanged();
    if (m_onScreen)
        m_steps[step]->start();
}

QCoro::Task<> OnboardingModel::setUpShortcuts(DesktopShortcuts& shortcuts)
{
    QPointer<OnboardingModel> self(this);
    const DesktopShortcuts::Outcome outcome = co_await shortcuts.setUp();
    if (!self || outcome.message == m_shortcutsNote)
        co_return;
    m_shortcutsNote = outcome.message;
    emit shortcutsNoteChanged();
}

QCoro::Task<> OnboardingModel::requestScreenshots()
{
    // One question at a time: a second press while the desktop's dialog is open asks nothing more.
    if (!m_screenshots.request || m_askingForScreenshots)
        co_return;
    m_askingForScreenshots = true;
    QPointer<OnboardingModel> self(this);
    const ScreenCapture::Permission answer = co_await m_screenshots.request();
    // Onboarding may have closed while the dialog was open: then the answer has nowhere to go.
    if (!self)
        co_return;
    m_askingForScreenshots = false;
    const QString note = answer == ScreenCapture::Permission::Refused ? screenshotsRefusedNote : QString();
    if (note != m_screenshotNote) {
        m_screenshotNote = note;
        emit screenshotNoteChanged();
    }
    if (answer == ScreenCapture::Permission::Refused)
        emit screenshotsRefused();
}

void OnboardingModel::start()
{
    m_onScreen = true;
    m_steps[m_step]->start();
}

void OnboardingModel::stop()
{
    m_onScreen = false;
    for (int step = 0; step < stepCount(); ++step)
        m_steps[step]->stop();
}
