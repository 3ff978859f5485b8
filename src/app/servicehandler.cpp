#include "app/servicehandler.h"

#include "quilloraadaptor.h"

#include <QDBusConnectionInterface>
#include <QTimer>

#include <algorithm>
#include <cstdio>

ServiceHandler::ServiceHandler(QObject* parent)
    : QObject(parent)
{
    new QuilloraAdaptor(this); // exported with us, and a child of ours
}

bool ServiceHandler::registerOn(QDBusConnection bus)
{
    if (!bus.isConnected() || !bus.interface())
        return false;
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportAdaptors))
        return false;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    bus.unregisterObject(objectPath);
    return false;
}

QString ServiceHandler::tooLongMessage()
{
    return QStringLiteral("The text is too long: Quillora explains at most %L1 characters.").arg(maximumTextLength);
}

bool ServiceHandler::admit()
{
    if (!m_sinceRefill.isValid())
        m_sinceRefill.start();
    m_budget = std::min<double>(burstSize, m_budget + double(m_sinceRefill.restart()) / refillIntervalMs);
    if (m_budget >= 1) {
        m_budget -= 1;
        m_dropping = false;
        return true;
    }
    if (calledFromDBus())
        sendErrorReply(busyError, QStringLiteral("Too many requests at once; this one was dropped."));
    if (!m_dropping) {
        m_dropping = true;
        std::printf("[ServiceHandler] too many calls at once; dropping them for now\n");
        std::fflush(stdout);
        if (onCallsDropped)
            QTimer::singleShot(0, this, onCallsDropped);
    }
    return false;
}

void ServiceHandler::later(const std::function<void()>& action)
{
    if (!admit())
        return;
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
    if (text.size() > maximumTextLength) {
        if (calledFromDBus())
            sendErrorReply(tooLongError, tooLongMessage());
        return;
    }
    later(onTextReceived ? std::function<void()>([this, text] { onTextReceived(text); }) : nullptr);
}

void ServiceHandler::ExplainSelection() { later(onExplainSelection); }
void ServiceHandler::AskAnything() { later(onAskAnything); }
void ServiceHandler::ExplainScreenshot() { later(onExplainScreenshot); }
void ServiceHandler::OpenSettings() { later(onOpenSettings); }
