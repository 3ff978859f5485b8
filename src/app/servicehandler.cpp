#include "app/servicehandler.h"

#include "quilloraadaptor.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>

#include <dbus/dbus.h>

ServiceHandler::ServiceHandler(QObject* parent)
    : QObject(parent)
{
    new QuilloraAdaptor(this); // exported with us, and a child of ours
}

ServiceHandler::~ServiceHandler() { stopListening(); }

std::optional<QDBusConnection> ServiceHandler::connectLimited(const QString& name)
{
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    if (!bus.isConnected() || !bus.interface()) {
        QDBusConnection::disconnectFromBus(name);
        return std::nullopt;
    }
    auto* raw = static_cast<DBusConnection*>(bus.internalPointer());
    dbus_connection_set_max_message_size(raw, maximumMessageSize);
    // Unread messages never pause the reading: libdbus would resume it from the thread that frees them, which
    // Qt's socket notifier does not allow, so it would stay paused. Each message is small and answered at once.
    dbus_connection_set_max_received_size(raw, std::numeric_limits<long>::max());
    // The interface takes no file descriptors.
    dbus_connection_set_max_message_unix_fds(raw, 0);
    dbus_connection_set_max_received_unix_fds(raw, std::numeric_limits<long>::max());
    return bus;
}

bool ServiceHandler::listen()
{
    const QString name = QStringLiteral("quillora-entry-%1").arg(++m_connections);
    std::optional<QDBusConnection> bus = connectLimited(name);
    if (!bus)
        return false;
    // Connected first, so a close that comes right after the name was taken is seen too.
    bus->connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
        QStringLiteral("Disconnected"), this, SLOT(connectionLost()));
    if (bus->registerObject(objectPath, this, QDBusConnection::ExportAdaptors)) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->interface()->registerService(
            serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            m_connection = std::move(bus);
            return true;
        }
    }
    bus.reset();
    QDBusConnection::disconnectFromBus(name);
    return false;
}

void ServiceHandler::stopListening()
{
    if (!m_connection)
        return;
    const QString name = m_connection->name();
    m_connection->unregisterObject(objectPath);
    // Sent without waiting for the answer: the bus drops the name with the connection in any case.
    m_connection->send(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                           QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                           QStringLiteral("ReleaseName"))
        << serviceName);
    m_connection.reset();
    QDBusConnection::disconnectFromBus(name);
}

void ServiceHandler::connectionLost()
{
    if (!m_connection || m_connection->isConnected())
        return; // a connection we closed ourselves
    QDBusConnection::disconnectFromBus(m_connection->name());
    m_connection.reset();
    std::printf("[ServiceHandler] the D-Bus entry was closed (a message over %ld bytes, or the bus went away); "
                "connecting again\n",
        maximumMessageSize);
    std::fflush(stdout);
    // At most once a second, so a caller that keeps sending oversized messages costs little.
    const qint64 wait = m_sinceReconnect.isValid() ? std::max<qint64>(0, 1000 - m_sinceReconnect.elapsed()) : 0;
    QTimer::singleShot(wait, this, [this] { reconnect(3); });
}

void ServiceHandler::reconnect(int attemptsLeft)
{
    if (m_connection)
        return;
    m_sinceReconnect.start();
    if (listen())
        return;
    if (attemptsLeft > 1) {
        QTimer::singleShot(1000, this, [this, attemptsLeft] { reconnect(attemptsLeft - 1); });
        return;
    }
    std::printf("[ServiceHandler] the D-Bus entry could not connect again (another program may own %s); "
                "the hot keys still work\n",
        qPrintable(serviceName));
    std::fflush(stdout);
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
