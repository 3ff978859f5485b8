#include "platform/x11/atspiaccessibility.h"

#include "platform/workerthread.h"
#include "platform/x11/atspireading.h"
#include "platform/x11/x11util.h"

#include <QAbstractEventDispatcher>
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
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
const QString a11yService = QStringLiteral("org.a11y.Bus");
const QString a11yPath = QStringLiteral("/org/a11y/bus");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString statusInterface = QStringLiteral("org.a11y.Status");

using namespace std::chrono_literals;

// Set and read on the AT-SPI thread only.
bool workerOwnsContext = false;
} // namespace

AtspiAccessibility::AtspiAccessibility(Rectangles rectangles)
    : m_rectangles(rectangles)
{
    // Qt's GLib dispatcher would run the default context on this thread as well and take the replies
    // the worker waits for (and run libatspi on two threads at once).
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
        dispatcher && dispatcher->inherits("QEventDispatcherGlib")) {
        std::printf("[Accessibility] the main thread runs GLib's default context; AT-SPI is not used\n");
        std::fflush(stdout);
        m_ownsContext = false;
    }
    // What libatspi holds is let go on its own thread, before that thread ends.
    m_worker = std::make_unique<WorkerThread>(QStringLiteral("AT-SPI"), [] {
        if (workerOwnsContext)
            AtspiReading::releaseThread();
    });
    if (!m_ownsContext)
        return;
    // The worker takes the default context for good and serves it between readings, so what the
    // applications send never piles up.
    m_worker->post([worker = m_worker->context()] {
        workerOwnsContext = AtspiReading::takeDefaultContext();
        if (!workerOwnsContext) {
            std::printf("[Accessibility] GLib's default context belongs to another thread; AT-SPI is not used\n");
            std::fflush(stdout);
            return;
        }
        auto* timer = new QTimer(worker);
        QObject::connect(timer, &QTimer::timeout, worker, [] { AtspiReading::dispatchPending(); });
        timer->start(250);
    });
}

AtspiAccessibility::~AtspiAccessibility()
{
    // A reading under way stops before its next call; the one call still running ends by its timeout.
    m_stopping = true;
    m_worker.reset();
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
    if (!m_ownsContext || m_busy)
        co_return std::nullopt;
    m_busy = true;
    const qint64 ownPid = QCoreApplication::applicationPid();
    QFuture<std::optional<AtspiReading::Selection>> future
        = m_worker->run([pid, ownPid, stopping = &m_stopping]() -> std::optional<AtspiReading::Selection> {
              if (!workerOwnsContext)
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
