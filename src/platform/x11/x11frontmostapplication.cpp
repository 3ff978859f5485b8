#include "platform/x11/x11frontmostapplication.h"

#include "platform/processfacts.h"
#include "platform/x11/x11util.h"

#include <QCoreApplication>

#include <xcb/xcb_icccm.h>

namespace {

// What a window says about itself.
struct WindowFacts {
    bool exists = false;
    QString wmInstance, wmClass, title, kdeDesktopFile, gtkApplicationId;
    qint64 pid = 0;
};

std::optional<QString> utf8Reply(X11::Atoms& atoms, xcb_get_property_cookie_t cookie)
{
    xcb_ewmh_get_utf8_strings_reply_t reply;
    if (!xcb_ewmh_get_utf8_strings_reply(atoms.ewmh(), cookie, &reply, nullptr))
        return std::nullopt;
    QString text = QString::fromUtf8(reply.strings, qsizetype(qstrnlen(reply.strings, reply.strings_len)));
    xcb_ewmh_get_utf8_strings_reply_wipe(&reply);
    return text;
}

// Every question is sent before the first answer is waited for: one round trip to the server.
WindowFacts askWindow(xcb_connection_t* c, X11::Atoms& atoms, xcb_window_t window)
{
    const auto utf8Property = [&](xcb_atom_t property) {
        return xcb_get_property(c, 0, window, property, atoms.ewmh()->UTF8_STRING, 0, 1024);
    };
    const xcb_get_property_cookie_t wmClassCookie = xcb_icccm_get_wm_class(c, window);
    const xcb_get_property_cookie_t netNameCookie = xcb_ewmh_get_wm_name(atoms.ewmh(), window);
    const xcb_get_property_cookie_t wmNameCookie = xcb_icccm_get_wm_name(c, window);
    const xcb_get_property_cookie_t kdeCookie = utf8Property(atoms.kdeDesktopFile);
    const xcb_get_property_cookie_t gtkCookie = utf8Property(atoms.gtkApplicationId);
    X11::ProcessQuery process(c, atoms, window);

    WindowFacts facts;
    if (xcb_icccm_get_wm_class_reply_t wmClass; xcb_icccm_get_wm_class_reply(c, wmClassCookie, &wmClass, nullptr)) {
        facts.exists = true;
        facts.wmInstance = QString::fromLocal8Bit(wmClass.instance_name);
        facts.wmClass = QString::fromLocal8Bit(wmClass.class_name);
        xcb_icccm_get_wm_class_reply_wipe(&wmClass);
    }
    const std::optional<QString> netName = utf8Reply(atoms, netNameCookie);
    facts.exists = facts.exists || netName;
    facts.title = netName.value_or(QString());
    if (xcb_icccm_get_text_property_reply_t wmName; xcb_icccm_get_wm_name_reply(c, wmNameCookie, &wmName, nullptr)) {
        facts.exists = true;
        if (facts.title.isEmpty())
            facts.title = wmName.encoding == atoms.ewmh()->UTF8_STRING
                ? QString::fromUtf8(wmName.name, qsizetype(wmName.name_len))
                : QString::fromLatin1(wmName.name, qsizetype(wmName.name_len));
        xcb_icccm_get_text_property_reply_wipe(&wmName);
    }
    facts.kdeDesktopFile = utf8Reply(atoms, kdeCookie).value_or(QString());
    facts.gtkApplicationId = utf8Reply(atoms, gtkCookie).value_or(QString());
    facts.pid = process.pid();
    return facts;
}

} // namespace

X11FrontmostApplication::X11FrontmostApplication()
{
    xcb_connection_t* c = X11::connection();
    if (!c)
        return;
    m_activeAtom = X11::atoms().ewmh()->_NET_ACTIVE_WINDOW;
    // Add PropertyChange to whatever Qt selected on the root window for this connection.
    const xcb_window_t root = X11::rootWindow();
    const X11::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr));
    const quint32 mask = (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
    QCoreApplication::instance()->installNativeEventFilter(this);
    // Only the window and its process: naming the application would wait for the desktop entries' index.
    if (const quint32 window = activeWindow(); window != 0) {
        m_lastOtherWindow = window;
        m_lastOtherPid = X11::processOfWindow(window);
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
    X11::Atoms& atoms = X11::atoms();
    xcb_window_t window = XCB_WINDOW_NONE;
    if (!xcb_ewmh_get_active_window_reply(atoms.ewmh(), xcb_ewmh_get_active_window(atoms.ewmh(), 0), &window, nullptr))
        return 0;
    return window;
}

std::optional<FrontmostAppInfo> X11FrontmostApplication::current() const
{
    if (!X11::connection())
        return std::nullopt;
    const qint64 ownPid = QCoreApplication::applicationPid();
    const quint32 active = activeWindow();
    std::optional<FrontmostAppInfo> app = describe(active);
    // While one of our own windows has the focus, the user's application is the one active before it.
    if (active == 0 || (app && app->pid == ownPid))
        app = describe(m_lastOtherWindow);
    if (!app || app->pid == ownPid)
        return std::nullopt;
    m_lastOtherWindow = app->windowId;
    return app;
}

std::optional<FrontmostAppInfo> X11FrontmostApplication::describe(quint32 window) const
{
    xcb_connection_t* c = X11::connection();
    if (window == 0 || !c)
        return std::nullopt;
    const WindowFacts facts = askWindow(c, X11::atoms(), window);
    if (!facts.exists)
        return std::nullopt; // the window is gone

    FrontmostAppInfo app;
    app.windowId = window;
    app.pid = facts.pid;
    const QString flatpakId = app.pid > 0 ? ProcessFacts::flatpakIdOf(app.pid) : QString();
    const QString explicitId = !facts.kdeDesktopFile.isEmpty() ? facts.kdeDesktopFile
        : !facts.gtkApplicationId.isEmpty()                    ? facts.gtkApplicationId
                                                               : flatpakId;
    // An application that names itself is not guessed from its window class.
    const std::optional<DesktopEntries::Entry> entry = !explicitId.isEmpty()
        ? m_desktopEntries.byId(explicitId)
        : m_desktopEntries.byWindowClass(facts.wmClass, facts.wmInstance);
    if (!facts.kdeDesktopFile.isEmpty())
        app.appId = facts.kdeDesktopFile;
    else if (entry)
        app.appId = entry->id;
    else if (!explicitId.isEmpty())
        app.appId = explicitId;
    else
        app.appId = !facts.wmClass.isEmpty() ? facts.wmClass : facts.wmInstance;
    app.displayName = entry ? entry->name : QString();
    app.terminalEmulator = entry && entry->terminal;
    if (!facts.title.isEmpty())
        app.windowTitle = facts.title;
    return app;
}
