#include "app/appdelegate.h"

#include "capture/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "popup/popupwindowcontroller.h"

#include <QTimer>

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
{
    // The handler is our member and runs its actions from timers it owns, so it never outlives us.
    m_serviceHandler.onTextReceived = [this](const QString& text) { explainText(text); };
    m_serviceHandler.onExplainSelection = [this] { explainSelectedText(); };
    m_serviceHandler.onAskAnything = [this] { askAnything(); };
    m_serviceHandler.onCallsDropped = [] {
        PopupWindowController::shared().showSimpleNotice(QStringLiteral("exclamationmark.triangle"),
            QStringLiteral("Too many requests at once; some were dropped."), std::chrono::seconds(3));
    };
}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::registerService(QDBusConnection bus)
{
    if (!m_serviceHandler.registerOn(bus))
        return false;
    // This instance stays: compile the card's views as soon as start-up is done, so the first card opens sooner.
    QTimer::singleShot(0, this, [] { PopupWindowController::shared().preload(); });
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

void AppDelegate::openSettings() { }

void AppDelegate::checkForUpdates() { }
