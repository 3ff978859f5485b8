#include "platform/wayland/atspifrontmostapplication.h"

#include "platform/processfacts.h"
#include "platform/x11/atspiaccessibility.h"
#include "platform/x11/atspithread.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

#include <algorithm>

#include <atomic>
#include <cerrno>

#include <signal.h>

namespace {

// The search for the window active at start gives up after this long; events take over from there.
constexpr std::chrono::milliseconds startBudget { 1000 };

// How long after a window lost its activation one of ours may still be taking it over.
constexpr std::chrono::milliseconds deactivationGrace { 250 };

// A window that gets its activation back this soon after losing it, or after a window of ours that took it
// let go, with no other application's in between, never lost it to the user: a keyboard that comes or goes
// (a virtual one, one plugged in) makes toolkits see the keyboard leave and enter again at once, and Sway gives
// the keyboard to every new window of ours. Far too soon for the user to have gone to another window (a click),
// selected there (a drag) and come back (another click). Generous, for a busy machine's slow accessibility bus.
constexpr std::chrono::milliseconds sameActivation { 500 };

ActivatedWindow withProcessFacts(const AtspiReading::Window& window, bool announced)
{
    // Taken first: what the window's application selects from now on speaks for it.
    ActivatedWindow activated { window, {}, {}, {}, announced, std::chrono::steady_clock::now() };
    activated.flatpakId = ProcessFacts::flatpakIdOf(window.pid);
    activated.launchedIds = ProcessFacts::launchedIdsOf(window.pid);
    activated.command = ProcessFacts::commandOf(window.pid);
    return activated;
}

// Whether a window of ours has the keyboard. Not the application's state: Qt leaves that active when the
// window that had the keyboard goes away (its surface gone, the desktop's word that it lost the keyboard
// is dropped), and then a key meant for that window's predecessor would go to whatever the user went to.
bool ownWindowActive()
{
    const QList<QWindow*> windows = qGuiApp ? qGuiApp->topLevelWindows() : QList<QWindow*>();
    return std::any_of(
        windows.cbegin(), windows.cend(), [](const QWindow* w) { return w->isVisible() && w->isActive(); });
}

} // namespace

AtspiFrontmostApplication::AtspiFrontmostApplication(std::shared_ptr<AtspiThread> thread)
    : m_thread(std::move(thread))
{
    if (!m_thread || !m_thread->usable())
        return;
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (window)
            m_sinceOwnWindowFocused.restart();
    });
    qGuiApp->installEventFilter(this);
    m_relay = new AtspiWindowRelay;
    // Emitted on the AT-SPI thread, received on this one.
    connect(
        m_relay, &AtspiWindowRelay::activated, this, &AtspiFrontmostApplication::windowActivated, Qt::QueuedConnection);
    connect(m_relay, &AtspiWindowRelay::deactivated, this, &AtspiFrontmostApplication::windowDeactivated,
        Qt::QueuedConnection);
    QObject* threadContext = m_thread->worker().context();
    m_relay->moveToThread(threadContext->thread());
    const qint64 ownPid = QCoreApplication::applicationPid();
    m_thread->worker().post([relay = m_relay, threadContext, ownPid] {
        relay->setParent(threadContext); // the thread deletes it at its end, if this backend has not
        if (!AtspiThread::ownsContextHere())
            return;
        AtspiReading::initialize(AtspiAccessibility::callTimeout);
        AtspiReading::followWindows(
            ownPid,
            [relay](const AtspiReading::Window& window) { emit relay->activated(withProcessFacts(window, true)); },
            [relay] { emit relay->deactivated(std::chrono::steady_clock::now().time_since_epoch().count()); });
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

bool AtspiFrontmostApplication::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Hide && watched->isWindowType())
        m_ownWindowLeftAt = std::chrono::steady_clock::now();
    return false;
}

std::optional<FrontmostAppInfo> AtspiFrontmostApplication::current() const
{
    // A key must never go to an application that is not the one the user is in: after a window of ours took
    // the activation the user's application is still the one it came from; after any other, it is unknown.
    // A window of ours that has just let go of the keyboard hands it back to where it came from; the news of
    // that window's activation may still be on its way.
    const bool ownWindowJustLeft
        = m_ownWindowLeftAt > m_deactivatedAt && std::chrono::steady_clock::now() - m_ownWindowLeftAt < sameActivation;
    const std::optional<ActivatedWindow>& window
        = m_window ? m_window : (ownWindowActive() || ownWindowJustLeft ? m_deactivated : m_window);
    // A window whose program has ended says nothing of where the user is now: its successor may not be on the
    // bus at all.
    if (!window || (window->window.pid > 0 && ::kill(pid_t(window->window.pid), 0) != 0 && errno == ESRCH))
        return std::nullopt;
    if (!m_described)
        m_described = describe(*window);
    return m_described;
}

void AtspiFrontmostApplication::windowDeactivated(qint64 at)
{
    if (!m_window)
        return;
    m_deactivated = std::exchange(m_window, std::nullopt);
    m_deactivatedAt = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(at));
    // The user went to an application the bus does not see, or to one of our windows, whose activation
    // reaches us on another road and may come a little later; only the first counts as another application.
    QTimer::singleShot(deactivationGrace, this, [this] {
        // The desktop tells us at once that our window has the keyboard; the bus may tell of the other window's
        // loss later, on a busy machine after more than the grace.
        const bool oursTookOver = ownWindowActive()
            || (m_sinceOwnWindowFocused.isValid() && m_sinceOwnWindowFocused.elapsed() < 2 * deactivationGrace.count());
        if (!m_window && m_deactivated && !oursTookOver)
            emit otherApplicationActivated();
    });
}

void AtspiFrontmostApplication::windowActivated(const ActivatedWindow& activated)
{
    if (activated.window.pid == QCoreApplication::applicationPid())
        return;
    // Times taken on two threads: either may be a little ahead of the other.
    const auto soonAfter = [&](std::chrono::steady_clock::time_point then) {
        return std::chrono::abs(activated.activatedAt - then) < sameActivation;
    };
    const bool back = !m_window && m_deactivated && m_deactivated->window.pid == activated.window.pid
        && m_deactivated->window.title == activated.window.title
        && (soonAfter(m_deactivatedAt) || (m_ownWindowLeftAt > m_deactivatedAt && soonAfter(m_ownWindowLeftAt)));
    const std::optional<ActivatedWindow> previous = m_window ? m_window : m_deactivated;
    m_window = activated;
    if (back)
        m_window->activatedAt = m_deactivated->activatedAt;
    m_deactivated.reset();
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
    app.activatedAt = activated.activatedAt;
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
