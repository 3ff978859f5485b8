#include "platform/wayland/atspifrontmostapplication.h"

#include "platform/processfacts.h"
#include "platform/x11/atspiaccessibility.h"
#include "platform/x11/atspithread.h"

#include <QCoreApplication>

#include <atomic>

namespace {

// The search for the window active at start gives up after this long; events take over from there.
constexpr std::chrono::milliseconds startBudget { 1000 };

ActivatedWindow withProcessFacts(const AtspiReading::Window& window, bool announced)
{
    ActivatedWindow activated { window, {}, {}, {}, announced };
    activated.flatpakId = ProcessFacts::flatpakIdOf(window.pid);
    activated.launchedIds = ProcessFacts::launchedIdsOf(window.pid);
    activated.command = ProcessFacts::commandOf(window.pid);
    return activated;
}

} // namespace

AtspiFrontmostApplication::AtspiFrontmostApplication(std::shared_ptr<AtspiThread> thread)
    : m_thread(std::move(thread))
{
    if (!m_thread || !m_thread->usable())
        return;
    m_relay = new AtspiWindowRelay;
    // Emitted on the AT-SPI thread, received on this one.
    connect(
        m_relay, &AtspiWindowRelay::activated, this, &AtspiFrontmostApplication::windowActivated, Qt::QueuedConnection);
    QObject* threadContext = m_thread->worker().context();
    m_relay->moveToThread(threadContext->thread());
    const qint64 ownPid = QCoreApplication::applicationPid();
    m_thread->worker().post([relay = m_relay, threadContext, ownPid] {
        relay->setParent(threadContext); // the thread deletes it at its end, if this backend has not
        if (!AtspiThread::ownsContextHere())
            return;
        AtspiReading::initialize(AtspiAccessibility::callTimeout);
        AtspiReading::followWindows(ownPid,
            [relay](const AtspiReading::Window& window) { emit relay->activated(withProcessFacts(window, true)); });
        const std::atomic_bool never = false;
        if (const std::optional<AtspiReading::Window> active = AtspiReading::activeWindow(ownPid, startBudget, never))
            emit relay->activated(withProcessFacts(*active, false));
    });
    m_thread->serveContinuously();
}

AtspiFrontmostApplication::~AtspiFrontmostApplication()
{
    if (m_relay) {
        m_thread->worker().post([relay = m_relay] {
            if (AtspiThread::ownsContextHere())
                AtspiReading::stopFollowingWindows();
            delete relay;
        });
    }
}

std::optional<FrontmostAppInfo> AtspiFrontmostApplication::current() const
{
    if (!m_window)
        return std::nullopt;
    if (!m_described)
        m_described = describe(*m_window);
    return m_described;
}

void AtspiFrontmostApplication::windowActivated(const ActivatedWindow& activated)
{
    if (activated.window.pid == QCoreApplication::applicationPid())
        return;
    const std::optional<ActivatedWindow> previous = std::exchange(m_window, activated);
    m_described.reset();
    const AtspiReading::Window& window = activated.window;
    const bool sameApplication = previous
        && (window.pid > 0
                ? previous->window.pid == window.pid
                : previous->window.applicationName == window.applicationName && !window.applicationName.isEmpty());
    if (activated.announced && !sameApplication)
        emit otherApplicationActivated();
}

// Named when asked for, not when the window became active: a lookup before the desktop entries' first index
// is done waits for it, and the events start coming as the program starts.
FrontmostAppInfo AtspiFrontmostApplication::describe(const ActivatedWindow& activated) const
{
    const AtspiReading::Window& window = activated.window;
    FrontmostAppInfo app;
    app.pid = window.pid;
    if (!window.title.isEmpty())
        app.windowTitle = window.title;
    // An id the process was started under names the application best; the toolkit's name for itself
    // (GTK gives its program name) and the command are matched like an X11 window class.
    std::optional<DesktopEntries::Entry> entry;
    QString explicitId = activated.flatpakId;
    if (!explicitId.isEmpty())
        entry = m_desktopEntries.byId(explicitId);
    for (qsizetype i = 0; !entry && explicitId.isEmpty() && i < activated.launchedIds.size(); ++i) {
        entry = m_desktopEntries.byId(activated.launchedIds.at(i));
        if (entry)
            explicitId = activated.launchedIds.at(i);
    }
    if (!entry && explicitId.isEmpty())
        entry = m_desktopEntries.byWindowClass(window.applicationName, activated.command);
    if (entry)
        app.appId = entry->id;
    else if (!explicitId.isEmpty())
        app.appId = explicitId;
    else
        app.appId = !window.applicationName.isEmpty() ? window.applicationName : activated.command;
    app.displayName = entry ? entry->name : QString();
    app.terminalEmulator = entry && entry->terminal;
    return app;
}
