#include "app/appdelegate.h"

#include "app/updatechecker.h"
#include "app/updatewindow.h"
#include "capture/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "onboarding/onboardingwindowcontroller.h"
#include "popup/popupwindowcontroller.h"
#include "settings/appsettings.h"
#include "settings/settingswindow.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
{
    // The handler is our member and runs its actions from timers it owns, so it never outlives us.
    m_serviceHandler.onTextReceived = [this](const QString& text) { explainText(text); };
    m_serviceHandler.onExplainSelection = [this] { explainSelectedText(); };
    m_serviceHandler.onAskAnything = [this] { askAnything(); };
    m_serviceHandler.onOpenSettings = [this] { openSettings(); };
    m_updateChecker = new UpdateChecker(
        UpdateChecker::compiledFeed(), QCoreApplication::applicationVersion(), &AppSettings::shared(), this);
}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::registerService(QDBusConnection bus)
{
    if (!m_serviceHandler.registerOn(bus))
        return false;
    // This instance stays: compile the card's views as soon as start-up is done, so the first card opens sooner.
    QTimer::singleShot(0, this, [] { PopupWindowController::shared().preload(); });
    startUpdateChecks();
    showOnboardingIfNeeded();
    return true;
}

TextCaptureCoordinator& AppDelegate::coordinator()
{
    if (!m_coordinator) {
        m_presenter = std::make_unique<PopupPresenter>();
        m_coordinator = new TextCaptureCoordinator(*m_presenter, nullptr, this);
    }
    return *m_coordinator;
}

void AppDelegate::explainSelectedText()
{
    // Runs on by itself; the coordinator guards its own lifetime across the waits.
    coordinator().explainSelectedText();
}

void AppDelegate::explainText(const QString& text) { coordinator().explainText(text); }

void AppDelegate::askAnything() { coordinator().askAnything(); }

// Not available yet in this build.
void AppDelegate::explainScreenshot() { }

void AppDelegate::openSettings()
{
    if (!m_settingsWindow) {
        // No login item on this desktop yet: the switch shows off and cannot be changed.
        m_settingsWindow
            = new SettingsWindow(AppSettings::shared(), nullptr, PopupWindowController::shared().engine(), this);
    }
    m_settingsWindow->open();
}

void AppDelegate::checkForUpdates() { m_updateChecker->checkForUpdates(); }

void AppDelegate::startUpdateChecks()
{
    connect(m_updateChecker, &UpdateChecker::announce, this, [this](const UpdateCheckResult& result) {
        if (!m_updateWindow)
            m_updateWindow
                = new UpdateWindow(m_updateChecker->currentVersion(), PopupWindowController::shared().engine(), this);
        m_updateWindow->show(result);
    });
    m_updateChecker->startAutomaticChecks();
}

void AppDelegate::showOnboardingIfNeeded()
{
    OnboardingWindowController& onboarding = OnboardingWindowController::shared();
    // Screenshots need no one's consent on X11; elsewhere there is no capture yet.
    onboarding.setScreenshots({ [] { return QGuiApplication::platformName() == QLatin1String("xcb"); }, {} });
    onboarding.showIfNeeded();
}
