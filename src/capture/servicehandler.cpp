#include "capture/servicehandler.h"

#include <QDBusConnectionInterface>
#include <QTimer>

bool ServiceHandler::registerOn(QDBusConnection bus)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots))
        return false;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    bus.unregisterObject(objectPath);
    return false;
}

void ServiceHandler::later(const std::function<void()>& action)
{
    if (!action) {
        if (calledFromDBus())
            sendErrorReply(notAvailableError, QStringLiteral("not available yet"));
        return;
    }
    // The caller gets its answer first; the action runs from the event loop.
    QTimer::singleShot(0, this, action);
}

void ServiceHandler::ExplainText(const QString& text)
{
    if (text.isEmpty())
        return;
    later(onTextReceived ? std::function<void()>([this, text] { onTextReceived(text); }) : nullptr);
}

void ServiceHandler::ExplainSelection() { later(onExplainSelection); }
void ServiceHandler::AskAnything() { later(onAskAnything); }
void ServiceHandler::ExplainScreenshot() { later(onExplainScreenshot); }
void ServiceHandler::OpenSettings() { later(onOpenSettings); }
