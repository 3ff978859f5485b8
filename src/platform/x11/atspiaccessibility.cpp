#include "platform/x11/atspiaccessibility.h"

#include "platform/x11/atspireading.h"
#include "platform/x11/x11util.h"

#include <QCoreApplication>
#include <QCoroDBusPendingCall>
#include <QCoroFuture>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFuture>
#include <QPromise>

#include <memory>

namespace {
const QString a11yService = QStringLiteral("org.a11y.Bus");
const QString a11yPath = QStringLiteral("/org/a11y/bus");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString statusInterface = QStringLiteral("org.a11y.Status");
} // namespace

AtspiAccessibility::AtspiAccessibility()
    : m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("AT-SPI"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

AtspiAccessibility::~AtspiAccessibility()
{
    m_thread.quit();
    m_thread.wait();
}

QCoro::Task<bool> AtspiAccessibility::isUsable()
{
    QDBusMessage getAll
        = QDBusMessage::createMethodCall(a11yService, a11yPath, propertiesInterface, QStringLiteral("GetAll"));
    getAll << statusInterface;
    const QDBusMessage reply = co_await QDBusConnection::sessionBus().asyncCall(getAll, int(callTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return false;
    const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    co_return properties.value(QStringLiteral("IsEnabled")).toBool()
        || properties.value(QStringLiteral("ScreenReaderEnabled")).toBool();
}

QCoro::Task<bool> AtspiAccessibility::enable()
{
    QDBusMessage set
        = QDBusMessage::createMethodCall(a11yService, a11yPath, propertiesInterface, QStringLiteral("Set"));
    set << statusInterface << QStringLiteral("IsEnabled") << QVariant::fromValue(QDBusVariant(true));
    const QDBusMessage reply = co_await QDBusConnection::sessionBus().asyncCall(set, int(callTimeout.count()));
    co_return reply.type() == QDBusMessage::ReplyMessage;
}

QCoro::Task<std::optional<AccessibleSelection>> AtspiAccessibility::focusedSelection(qint64 pid)
{
    auto promise = std::make_shared<QPromise<std::optional<AtspiReading::Selection>>>();
    QFuture<std::optional<AtspiReading::Selection>> future = promise->future();
    promise->start();
    const qint64 ownPid = QCoreApplication::applicationPid();
    QMetaObject::invokeMethod(m_worker, [promise, pid, ownPid] {
        promise->addResult(AtspiReading::focusedSelection(pid, ownPid, callTimeout, readingBudget));
        promise->finish();
    });
    const std::optional<AtspiReading::Selection> found = co_await future;
    if (!found)
        co_return std::nullopt;

    AccessibleSelection selection { found->text, std::nullopt };
    if (found->rect)
        selection.rect = X11::toLogical(*found->rect); // AT-SPI reports X11 screen pixels
    co_return selection;
}
