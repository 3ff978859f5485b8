#include "onboarding/onboardingwindowcontroller.h"

#include "platform/accessibility.h"
#include "platform/desktopshortcuts.h"
#include "settings/appsettings.h"
#include "ui/qmlengineprovider.h"
#include "ui/viewwindow.h"

#include <QQuickItem>

OnboardingWindowController::OnboardingWindowController(AppSettings& settings, Accessibility& accessibility,
    QmlEngineProvider& engines, OnboardingModel::Timing timing, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_accessibility(accessibility)
    , m_engines(engines)
    , m_timing(timing)
{
}

OnboardingWindowController::~OnboardingWindowController() { delete m_window.data(); }

OnboardingModel* OnboardingWindowController::model() const
{
    return m_window ? m_window->findChild<OnboardingModel*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void OnboardingWindowController::showIfNeeded() { decide(); }

QCoro::Task<> OnboardingWindowController::decide()
{
    if (m_settings.hasCompletedOnboarding() || m_deciding)
        co_return;
    m_deciding = true;
    QPointer<OnboardingWindowController> self(this);
    const bool accessible = co_await m_accessibility.isUsable();
    if (!self)
        co_return;
    // The platform's facility outlives this controller; only `self` needs checking after each wait.
    DesktopShortcuts* const shortcuts = m_desktopShortcuts;
    bool keysOffered = false;
    bool keysSetUp = true;
    if (shortcuts) {
        keysOffered = co_await shortcuts->isOffered();
        if (!self)
            co_return;
        if (keysOffered) {
            keysSetUp = co_await shortcuts->areSetUp();
            if (!self)
                co_return;
        }
    }
    bool screenshots = false;
    if (m_screenshots.allowed) {
        screenshots = co_await m_screenshots.allowed();
        if (!self)
            co_return;
    }
    m_deciding = false;
    m_offeredShortcuts = keysOffered ? shortcuts : nullptr;
    if (accessible && screenshots && keysSetUp) {
        m_settings.setHasCompletedOnboarding(true);
        co_return;
    }
    show(!accessible ? 0 : !screenshots ? 1 : 2);
}

void OnboardingWindowController::show(int step)
{
    if (m_window && m_window->isVisible()) {
        m_window->present();
        return;
    }
    auto* model = new OnboardingModel(step, m_accessibility, m_screenshots, m_timing, m_offeredShortcuts);
    ViewWindow* window = ViewWindow::create(m_engines.engine(), onboardingViewUrl,
        { { QStringLiteral("model"), QVariant::fromValue<QObject*>(model) } }, QStringLiteral("Welcome to Quillora"));
    if (!window) {
        delete model;
        return;
    }
    model->setParent(window);
    QPointer<OnboardingWindowController> self(this);
    connect(model, &OnboardingModel::completeRequested, this, [self] {
        if (self)
            self->complete();
    });
    // The close button only hides the window: polling ends with it, and the flag stays as it was.
    connect(window, &QWindow::visibleChanged, model, [model](bool visible) {
        if (!visible)
            model->stop();
    });
    m_window = window;
    window->present();
    model->start();
}

void OnboardingWindowController::complete()
{
    m_settings.setHasCompletedOnboarding(true);
    if (ViewWindow* window = m_window.data()) {
        m_window.clear();
        window->close();
    }
}
