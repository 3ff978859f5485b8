#include "app/appdelegate.h"

#include "capture/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "popup/popupwindowcontroller.h"

#include <QPointer>
#include <QTimer>

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
{
    QPointer<AppDelegate> self(this);
    m_serviceHandler.onTextReceived = [self](const QString& text) {
        if (self)
            self->explainText(text);
    };
    m_serviceHandler.onExplainSelection = [self] {
        if (self)
            self->explainSelectedText();
    };
    m_serviceHandler.onAskAnything = [self] {
        if (self)
            self->askAnything();
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
