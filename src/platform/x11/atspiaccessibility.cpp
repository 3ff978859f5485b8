#include "platform/x11/atspiaccessibility.h"

#include "platform/x11/atspireading.h"
#include "platform/x11/atspithread.h"
#include "platform/x11/x11util.h"

#include <QCoreApplication>
#include <QCoroDBusPendingCall>
#include <QCoroFuture>
#include <QCoroSignal>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFuture>
#include <QFutureWatcher>
#include <QPointer>

#include <cstdio>
#include <memory>

namespace {
const QString a11yService = QStringLiteral("org.a11y.Bus");
const QString a11yPath = QStringLiteral("/org/a11y/bus");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString statusInterface = QStringLiteral("org.a11y.Status");

using namespace std::chrono_literals;
} // namespace

AtspiAccessibility::AtspiAccessibility(Rectangles rectangles, std::shared_ptr<AtspiThread> thread)
    : m_thread(thread ? std::move(thread) : std::make_shared<AtspiThread>())
    , m_rectangles(rectangles)
{
}

AtspiAccessibility::~AtspiAccessibility()
{
    // A reading under way stops before its next call; the one call still running ends by its timeout.
    *m_stopping = true;
    m_thread.reset();
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
    // While a reading still waits on a stuck application the worker is not free: later readings go
    // on without the accessibility bus instead of queueing behind it.
    if (!m_thread->usable() || m_busy)
        co_return std::nullopt;
    m_busy = true;
    const qint64 ownPid = QCoreApplication::applicationPid();
    QFuture<std::optional<AtspiReading::Selection>> future
        = m_thread->worker().run([pid, ownPid, stopping = m_stopping]() -> std::optional<AtspiReading::Selection> {
              if (!AtspiThread::ownsContextHere())
                  return std::nullopt;
              return AtspiReading::focusedSelection(pid, ownPid, callTimeout, readingBudget, *stopping);
          });
    future.then(this, [this](const std::optional<AtspiReading::Selection>&) { m_busy = false; });

    QPointer<AtspiAccessibility> self(this);
    QFutureWatcher<std::optional<AtspiReading::Selection>> watcher;
    watcher.setFuture(future);
    // The budget is checked between calls on the worker; one call may overrun it by its own timeout.
    // This side waits no longer than the budget and a little slack.
    const bool finished = (co_await qCoro(&watcher, &QFutureWatcherBase::finished, readingBudget + 50ms)).has_value();
    if (!self || !finished || future.resultCount() == 0)
        co_return std::nullopt;
    const std::optional<AtspiReading::Selection> found = future.result();
    if (!found)
        co_return std::nullopt;

    AccessibleSelection selection { found->text, std::nullopt, found->inTerminal };
    if (found->rect && m_rectangles == Rectangles::OnScreen)
        selection.rect = X11::toLogical(*found->rect); // AT-SPI reports X11 screen pixels
    co_return selection;
}
