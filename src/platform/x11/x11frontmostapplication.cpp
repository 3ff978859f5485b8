#include "platform/x11/x11frontmostapplication.h"

#include "platform/x11/x11util.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QStandardPaths>

#include <iterator>

namespace {

// Flatpak places each application in a cgroup scope named after its id.
QString flatpakIdOf(qint64 pid)
{
    QFile cgroup(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!cgroup.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression scope(QStringLiteral("app-flatpak-([A-Za-z0-9_.-]+)-[0-9]+\\.scope"));
    const QRegularExpressionMatch match = scope.match(QString::fromUtf8(cgroup.readAll()));
    return match.hasMatch() ? match.captured(1) : QString();
}

// The [Desktop Entry] group's untranslated keys that identify an application.
QHash<QString, QString> readDesktopEntry(const QString& path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (key == QLatin1String("Name") || key == QLatin1String("StartupWMClass") || key == QLatin1String("NoDisplay")
            || key == QLatin1String("Categories"))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

} // namespace

X11FrontmostApplication::X11FrontmostApplication()
{
    xcb_connection_t* c = X11::connection();
    if (!c)
        return;
    m_activeAtom = X11::atom("_NET_ACTIVE_WINDOW");
    // Add PropertyChange to whatever Qt selected on the root window for this connection.
    const xcb_window_t root = X11::rootWindow();
    const X11::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr));
    const quint32 mask = (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
    QCoreApplication::instance()->installNativeEventFilter(this);
    if (const auto app = describe(activeWindow())) {
        m_lastOtherWindow = app->windowId;
        m_lastOtherPid = app->pid;
    }
}

X11FrontmostApplication::~X11FrontmostApplication()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool X11FrontmostApplication::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
        return false;
    const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
    if (notify->atom == m_activeAtom && notify->window == X11::rootWindow())
        activeWindowChanged();
    return false; // Qt and other filters see the event too
}

void X11FrontmostApplication::activeWindowChanged()
{
    const quint32 window = activeWindow();
    if (window == 0)
        return; // window managers pass through "none" between two windows
    const qint64 pid = X11::processOfWindow(window);
    if (pid == QCoreApplication::applicationPid())
        return;
    const qint64 previousPid = m_lastOtherPid;
    const quint32 previousWindow = m_lastOtherWindow;
    m_lastOtherWindow = window;
    m_lastOtherPid = pid;
    const bool sameApplication = pid > 0 ? pid == previousPid : window == previousWindow;
    if (!sameApplication)
        emit otherApplicationActivated();
}

quint32 X11FrontmostApplication::activeWindow() const
{
    return X11::cardinalProperty(X11::rootWindow(), m_activeAtom, XCB_ATOM_WINDOW).value_or(0);
}

std::optional<FrontmostAppInfo> X11FrontmostApplication::current() const
{
    if (!X11::connection())
        return std::nullopt;
    quint32 window = activeWindow();
    // While one of our own windows has the focus, the user's application is the one active before it.
    if (window == 0 || X11::processOfWindow(window) == QCoreApplication::applicationPid())
        window = m_lastOtherWindow;
    std::optional<FrontmostAppInfo> app = describe(window);
    if (app && app->pid != QCoreApplication::applicationPid())
        m_lastOtherWindow = window;
    return app && app->pid == QCoreApplication::applicationPid() ? std::nullopt : app;
}

std::optional<FrontmostAppInfo> X11FrontmostApplication::describe(quint32 window) const
{
    xcb_connection_t* c = X11::connection();
    if (window == 0 || !c)
        return std::nullopt;
    // One batch of requests, then their replies: one round trip to the server instead of one per property.
    auto ask
        = [&](xcb_atom_t property, xcb_atom_t type) { return xcb_get_property(c, 0, window, property, type, 0, 1024); };
    const xcb_atom_t utf8 = X11::atom("UTF8_STRING");
    const xcb_get_property_cookie_t cookies[] = { ask(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
        ask(X11::atom("_NET_WM_NAME"), utf8), ask(XCB_ATOM_WM_NAME, XCB_ATOM_STRING),
        ask(X11::atom("_KDE_NET_WM_DESKTOP_FILE"), utf8), ask(X11::atom("_GTK_APPLICATION_ID"), utf8) };
    std::optional<QByteArray> values[std::size(cookies)];
    for (size_t i = 0; i < std::size(cookies); ++i) {
        const X11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookies[i], nullptr));
        if (reply && reply->type != XCB_ATOM_NONE)
            values[i] = QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                xcb_get_property_value_length(reply.get()));
    }
    const std::optional<QByteArray>& wmClassBytes = values[0];
    const std::optional<QString> title = values[1] ? std::optional(QString::fromUtf8(*values[1])) : std::nullopt;
    const std::optional<QByteArray>& legacyTitle = values[2];
    if (!wmClassBytes && !title && !legacyTitle)
        return std::nullopt; // the window is gone

    FrontmostAppInfo app;
    app.windowId = window;
    app.pid = X11::processOfWindow(window);

    const QList<QByteArray> wmClass = wmClassBytes.value_or(QByteArray()).split('\0');
    const QString wmInstance = QString::fromLocal8Bit(wmClass.value(0));
    const QString wmClassName = QString::fromLocal8Bit(wmClass.value(1));

    const QString kdeDesktopFile = QString::fromUtf8(values[3].value_or(QByteArray()));
    const QString gtkApplicationId = QString::fromUtf8(values[4].value_or(QByteArray()));
    const QString flatpakId = app.pid > 0 ? flatpakIdOf(app.pid) : QString();

    QString explicitId = !kdeDesktopFile.isEmpty() ? kdeDesktopFile
        : !gtkApplicationId.isEmpty()              ? gtkApplicationId
                                                   : flatpakId;
    const std::optional<DesktopEntry> entry = desktopEntryFor(explicitId, wmInstance, wmClassName);
    if (!kdeDesktopFile.isEmpty())
        app.appId = kdeDesktopFile;
    else if (entry)
        app.appId = entry->id;
    else if (!explicitId.isEmpty())
        app.appId = explicitId;
    else
        app.appId = !wmClassName.isEmpty() ? wmClassName : wmInstance;
    app.displayName = entry ? entry->name : QString();
    app.terminalEmulator = entry && entry->terminal;

    QString windowTitle = title.value_or(QString());
    if (windowTitle.isEmpty() && legacyTitle)
        windowTitle = QString::fromLatin1(*legacyTitle);
    if (!windowTitle.isEmpty())
        app.windowTitle = windowTitle;
    return app;
}

std::optional<X11FrontmostApplication::DesktopEntry> X11FrontmostApplication::desktopEntryFor(
    const QString& id, const QString& wmInstance, const QString& wmClass) const
{
    refreshDesktopEntries();
    if (!id.isEmpty()) {
        if (const auto found = m_desktop.byId.constFind(id); found != m_desktop.byId.cend())
            return *found;
        return std::nullopt; // an application that names itself is not guessed from its window class
    }
    for (const QString& name : { wmClass, wmInstance }) {
        if (name.isEmpty())
            continue;
        if (const auto found = m_desktop.byWmClass.constFind(name); found != m_desktop.byWmClass.cend())
            return *found;
    }
    for (const QString& name : { wmClass, wmInstance }) {
        if (name.isEmpty())
            continue;
        if (const auto found = m_desktop.byLowerId.constFind(name.toLower()); found != m_desktop.byLowerId.cend())
            return *found;
    }
    return std::nullopt;
}

void X11FrontmostApplication::refreshDesktopEntries() const
{
    const QStringList directories = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    bool stale = m_desktop.directoryTimes.size() != directories.size();
    for (const QString& directory : directories) {
        if (m_desktop.directoryTimes.value(directory) != QFileInfo(directory).lastModified())
            stale = true;
    }
    if (!stale)
        return;
    m_desktop = {};
    // Earlier directories take precedence (the user's own entries over the system's).
    for (auto it = directories.crbegin(); it != directories.crend(); ++it) {
        m_desktop.directoryTimes.insert(*it, QFileInfo(*it).lastModified());
        const QDir dir(*it);
        for (const QFileInfo& file : dir.entryInfoList({ QStringLiteral("*.desktop") }, QDir::Files)) {
            const QHash<QString, QString> keys = readDesktopEntry(file.filePath());
            const DesktopEntry entry { file.completeBaseName(), keys.value(QStringLiteral("Name")),
                keys.value(QStringLiteral("Categories"))
                    .split(QLatin1Char(';'))
                    .contains(QStringLiteral("TerminalEmulator")) };
            m_desktop.byId.insert(entry.id, entry);
            m_desktop.byLowerId.insert(entry.id.toLower(), entry);
            if (const QString wmClass = keys.value(QStringLiteral("StartupWMClass")); !wmClass.isEmpty())
                m_desktop.byWmClass.insert(wmClass, entry);
        }
    }
}
