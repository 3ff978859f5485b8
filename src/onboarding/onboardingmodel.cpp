#include "onboarding/onboardingmodel.h"

#include "onboarding/accessibilitypermissionmodel.h"
#include "platform/accessibility.h"

#include <QTimer>

OnboardingModel::OnboardingModel(
    int initialStep, Accessibility& accessibility, Screenshots screenshots, Timing timing, QObject* parent)
    : QObject(parent)
    , m_timing(timing)
    , m_step(initialStep == 1 ? 1 : 0)
{
    // The same check and switch-on as the accessibility prompt's.
    m_steps[0] = new PermissionStepModel([&accessibility] { return accessibility.isUsable(); },
        [&accessibility] { AccessibilityPermissionModel::switchOnSupport(accessibility); }, timing.pollInterval, this);
    m_steps[1] = new PermissionStepModel(
        [possible = screenshots.possible]() -> QCoro::Task<bool> { co_return possible&& possible(); },
        screenshots.request, timing.pollInterval, this);

    connect(m_steps[0], &PermissionStepModel::seenGranted, this, [this] {
        m_step = 1;
        emit stepChanged();
        if (m_onScreen)
            m_steps[1]->start();
    });
    connect(m_steps[1], &PermissionStepModel::seenGranted, this,
        [this] { QTimer::singleShot(m_timing.completionDelay, this, &OnboardingModel::completeRequested); });
}

void OnboardingModel::start()
{
    m_onScreen = true;
    m_steps[m_step]->start();
}

void OnboardingModel::stop()
{
    m_onScreen = false;
    m_steps[0]->stop();
    m_steps[1]->stop();
}
