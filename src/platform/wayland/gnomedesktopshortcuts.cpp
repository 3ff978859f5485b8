#include "platform/wayland/gnomedesktopshortcuts.h"

#include "platform/workerthread.h"

#include <QCoreApplication>
#include <QCoroDBusPendingCall>
#include <QCoroFuture>
#include <QDBusMessage>
#include <QDBusVariant>

#include <cstdio>

namespace {

// GNOME's portal offers global shortcuts from this version on.
constexpr int firstShellWithGlobalShortcuts = 48;

QDBusMessage shellVersionCall()
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"),
        QStringLiteral("/org/gnome/Shell"), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call.setArguments({ QStringLiteral("org.gnome.Shell"), QStringLiteral("ShellVersion") });
    return call;
}

// The jobs for the worker thread are made outside the coroutines below: GCC 12 destroys the captures of a lambda
// made inside a coroutine once too often (here the shortcuts' list, whose data was then freed twice).
QFuture<std::optional<QMap<QString, QString>>> startReading(WorkerThread& worker, const GnomeCustomShortcuts& shortcuts)
{
    return worker.run([shortcuts] { return shortcuts.keysPresent(); });
}
QFuture<GnomeCustomShortcuts::Report> startSetUp(WorkerThread& worker, const GnomeCustomShortcuts& shortcuts)
{
    return worker.run([shortcuts] { return shortcuts.setUp(); });
}
QFuture<GnomeCustomShortcuts::Report> startRemoval(WorkerThread& worker, const GnomeCustomShortcuts& shortcuts)
{
    return worker.run([shortcuts] { return shortcuts.remove(); });
}

} // namespace

GnomeDesktopShortcuts::GnomeDesktopShortcuts(QString program, QDBusConnection bus, QString schemaDirectory)
    : m_shortcuts(quilloraShortcuts(program), std::move(schemaDirectory))
    , m_bus(std::move(bus))
    , m_worker(std::make_unique<WorkerThread>(QStringLiteral("GNOME shortcuts")))
{
}

GnomeDesktopShortcuts::~GnomeDesktopShortcuts() = default;

bool GnomeDesktopShortcuts::isGnomeSession()
{
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").split(':');
    return desktops.contains("GNOME");
}

QList<GnomeCustomShortcuts::Shortcut> GnomeDesktopShortcuts::quilloraShortcuts(const QString& program)
{
    return { { QStringLiteral("Quillora: Explain Selected Text"), QStringLiteral("<Alt>x"), program,
                 QStringLiteral("--explain-selection") },
        { QStringLiteral("Quillora: Explain Screenshot"), QStringLiteral("<Alt>z"), program,
            QStringLiteral("--explain-screenshot") },
        { QStringLiteral("Quillora: Ask Anything"), QStringLiteral("<Alt>a"), program, QStringLiteral("--ask") } };
}

QCoro::Task<bool> GnomeDesktopShortcuts::isOffered()
{
    if (m_offered)
        co_return *m_offered;
    if (!isGnomeSession()) {
        m_offered = false;
        co_return false;
    }
    // The portal's interface list may name GlobalShortcuts even where GNOME's backend lacks it: the shell's
    // version tells. A shell that does not answer is taken to be an old one.
    const QDBusPendingCall pending = m_bus.asyncCall(shellVersionCall(), 2000);
    const QDBusMessage reply = co_await pending;
    const QString version = reply.type() == QDBusMessage::ReplyMessage
        ? reply.arguments().value(0).value<QDBusVariant>().variant().toString()
        : QString();
    bool numbered = false;
    const int major = version.section(u'.', 0, 0).toInt(&numbered);
    if (numbered && major >= firstShellWithGlobalShortcuts) {
        m_offered = false;
        co_return false;
    }
    const std::optional<QMap<QString, QString>> present = co_await startReading(*m_worker, m_shortcuts);
    m_offered = present.has_value();
    co_return *m_offered;
}

QCoro::Task<bool> GnomeDesktopShortcuts::areSetUp() { co_return !(co_await keysSetUp()).isEmpty(); }

QCoro::Task<QMap<QString, QString>> GnomeDesktopShortcuts::keysSetUp()
{
    const std::optional<QMap<QString, QString>> present = co_await startReading(*m_worker, m_shortcuts);
    co_return present.value_or(QMap<QString, QString>());
}

QCoro::Task<DesktopShortcuts::Outcome> GnomeDesktopShortcuts::setUp()
{
    co_return outcomeOf(co_await startSetUp(*m_worker, m_shortcuts));
}

QCoro::Task<DesktopShortcuts::Outcome> GnomeDesktopShortcuts::remove()
{
    co_return outcomeOf(co_await startRemoval(*m_worker, m_shortcuts));
}

DesktopShortcuts::Outcome GnomeDesktopShortcuts::outcomeOf(const GnomeCustomShortcuts::Report& report)
{
    using Status = GnomeCustomShortcuts::Report::Status;
    if (!report.message.isEmpty()) {
        std::printf("[GnomeDesktopShortcuts] %s\n", qPrintable(report.message));
        std::fflush(stdout);
    }
    return { report.status == Status::Done, report.message };
}
