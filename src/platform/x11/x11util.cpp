#include "platform/x11/x11util.h"

#include <QGuiApplication>
#include <QHash>
#include <QScreen>

#include <cstdlib>
#include <memory>

#include <xcb/res.h>

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

xcb_atom_t atom(const char* name)
{
    static QHash<QByteArray, xcb_atom_t> cache;
    const QByteArray key(name);
    if (const auto found = cache.constFind(key); found != cache.cend())
        return *found;
    xcb_connection_t* c = connection();
    if (!c)
        return XCB_ATOM_NONE;
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, quint16(key.size()), key.constData()), nullptr));
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    if (result != XCB_ATOM_NONE)
        cache.insert(key, result);
    return result;
}

std::optional<QByteArray> property(xcb_window_t window, xcb_atom_t prop, xcb_atom_t type, quint32 maxLength)
{
    xcb_connection_t* c = connection();
    if (!c || window == XCB_WINDOW_NONE || prop == XCB_ATOM_NONE)
        return std::nullopt;
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, prop, type, 0, (maxLength + 3) / 4), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return std::nullopt;
    const int length = xcb_get_property_value_length(reply.get());
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
}

std::optional<quint32> cardinalProperty(xcb_window_t window, xcb_atom_t prop, xcb_atom_t type)
{
    const std::optional<QByteArray> bytes = property(window, prop, type, 4);
    if (!bytes || bytes->size() < 4)
        return std::nullopt;
    return *reinterpret_cast<const quint32*>(bytes->constData());
}

std::optional<QString> utf8Property(xcb_window_t window, const char* name)
{
    const std::optional<QByteArray> bytes = property(window, atom(name), atom("UTF8_STRING"));
    if (!bytes)
        return std::nullopt;
    return QString::fromUtf8(*bytes);
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

qint64 processOfWindow(xcb_window_t window)
{
    xcb_connection_t* c = connection();
    if (!c || window == XCB_WINDOW_NONE)
        return 0;
    xcb_res_client_id_spec_t wanted { window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID };
    Reply<xcb_res_query_client_ids_reply_t> reply(
        xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &wanted), nullptr));
    if (reply) {
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)
                && xcb_res_client_id_value_value_length(it.data) >= 1)
                return *xcb_res_client_id_value_value(it.data);
        }
    }
    return cardinalProperty(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL).value_or(0);
}

} // namespace X11
