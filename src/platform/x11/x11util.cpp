#include "platform/x11/x11util.h"

#include <QGuiApplication>
#include <QScreen>

#include <array>
#include <cstring>

namespace X11 {

xcb_connection_t* connection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_connection_t* openPrivateConnection()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (!xcb_connection_has_error(connection))
        return connection;
    xcb_disconnect(connection);
    return nullptr;
}

xcb_window_t rootWindow()
{
    xcb_connection_t* c = connection();
    return c ? xcb_setup_roots_iterator(xcb_get_setup(c)).data->root : xcb_window_t(XCB_WINDOW_NONE);
}

Atoms::Atoms(xcb_connection_t* c)
{
    if (!c)
        return;
    xcb_intern_atom_cookie_t* ewmhCookies = xcb_ewmh_init_atoms(c, &m_ewmh);
    const std::array<std::pair<const char*, xcb_atom_t*>, 6> ours { { { "CLIPBOARD", &clipboard },
        { "TARGETS", &targets }, { "INCR", &incr }, { "QUILLORA_SELECTION", &transferProperty },
        { "_GTK_APPLICATION_ID", &gtkApplicationId }, { "_KDE_NET_WM_DESKTOP_FILE", &kdeDesktopFile } } };
    std::array<xcb_intern_atom_cookie_t, ours.size()> cookies {};
    for (size_t i = 0; i < ours.size(); ++i)
        cookies[i] = xcb_intern_atom(c, 0, quint16(std::strlen(ours[i].first)), ours[i].first);
    // Frees the cookies; on failure it leaves nothing to wipe.
    m_ewmhReady = ewmhCookies && xcb_ewmh_init_atoms_replies(&m_ewmh, ewmhCookies, nullptr);
    for (size_t i = 0; i < ours.size(); ++i) {
        const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
        *ours[i].second = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }
    if (!m_ewmhReady) {
        m_ewmh = {};
        m_ewmh.connection = c;
    }
}

Atoms::~Atoms()
{
    if (m_ewmhReady)
        xcb_ewmh_connection_wipe(&m_ewmh);
}

Atoms& atoms()
{
    static Atoms instance(connection());
    return instance;
}

QRectF toLogical(const QRectF& screenPixels)
{
    const QScreen* primary = QGuiApplication::primaryScreen();
    const qreal ratio = primary ? primary->devicePixelRatio() : 1.0;
    return { screenPixels.topLeft() / ratio, screenPixels.size() / ratio };
}

xcb_window_t selectionOwner(xcb_atom_t selection)
{
    xcb_connection_t* c = connection();
    if (!c)
        return XCB_WINDOW_NONE;
    const Reply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
    return reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
}

ProcessQuery::ProcessQuery(xcb_connection_t* c, Atoms& atoms, xcb_window_t window)
    : m_connection(c)
    , m_atoms(atoms)
{
    if (!c || window == XCB_WINDOW_NONE)
        return;
    m_asked = true;
    xcb_res_client_id_spec_t wanted { window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID };
    m_clientIds = xcb_res_query_client_ids(c, 1, &wanted);
    m_wmPid = xcb_ewmh_get_wm_pid(atoms.ewmh(), window);
}

qint64 ProcessQuery::pid()
{
    if (!std::exchange(m_asked, false))
        return 0;
    qint64 pid = 0;
    const Reply<xcb_res_query_client_ids_reply_t> ids(
        xcb_res_query_client_ids_reply(m_connection, m_clientIds, nullptr));
    for (auto it = ids ? xcb_res_query_client_ids_ids_iterator(ids.get()) : xcb_res_client_id_value_iterator_t {};
         it.rem && pid == 0; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)
            && xcb_res_client_id_value_value_length(it.data) >= 1)
            pid = *xcb_res_client_id_value_value(it.data);
    }
    quint32 wmPid = 0;
    // Collected either way, so no reply is left behind in xcb's queue.
    if (xcb_ewmh_get_wm_pid_reply(m_atoms.ewmh(), m_wmPid, &wmPid, nullptr) && pid == 0)
        pid = wmPid;
    return pid;
}

qint64 processOfWindow(xcb_window_t window) { return ProcessQuery(connection(), atoms(), window).pid(); }

} // namespace X11
