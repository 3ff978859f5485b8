#include "platform/x11/x11selectionreader.h"

#include "platform/x11/x11util.h"

#include <QHash>

#include <poll.h>

namespace {

// Targets that describe the transfer, not the content, and those whose value is a server resource
// (a pixmap, a window) that dies with its owner; Qt derives STRING, TEXT and COMPOUND_TEXT from the
// UTF-8 text again when it serves a restored clipboard.
bool isProtocolTarget(const QByteArray& name)
{
    static const QList<QByteArray> protocol { "TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE",
        "INSERT_SELECTION", "INSERT_PROPERTY", "STRING", "TEXT", "COMPOUND_TEXT", "PIXMAP", "BITMAP", "DRAWABLE",
        "application/x-qt-image" };
    return name.isEmpty() || protocol.contains(name);
}

} // namespace

X11SelectionReader::X11SelectionReader()
{
    m_connection = X11::openPrivateConnection();
    if (!m_connection)
        return;
    m_atoms = std::make_unique<X11::Atoms>(m_connection);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_window = xcb_generate_id(m_connection);
    const quint32 events = XCB_EVENT_MASK_PROPERTY_CHANGE; // INCR transfers arrive as property changes
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, -1, -1, 1, 1, 0,
        XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, XCB_CW_EVENT_MASK, &events);
    xcb_flush(m_connection);
}

X11SelectionReader::~X11SelectionReader()
{
    m_atoms.reset();
    if (m_connection)
        xcb_disconnect(m_connection);
}

xcb_atom_t X11SelectionReader::clipboard() const { return m_atoms ? m_atoms->clipboard : xcb_atom_t(XCB_ATOM_NONE); }

QByteArray X11SelectionReader::atomName(xcb_atom_t atom)
{
    const X11::Reply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, atom), nullptr));
    if (!reply)
        return {};
    return QByteArray(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

xcb_generic_event_t* X11SelectionReader::waitForEvent(Clock::time_point deadline, quint8 wanted)
{
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == wanted)
                return event;
            std::free(event);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(m_connection))
            return nullptr;
        pollfd fd { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
        poll(&fd, 1, int(left.count()) + 1);
    }
}

X11SelectionReader::Outcome X11SelectionReader::read(xcb_atom_t selection, xcb_atom_t target,
    Clock::time_point deadline, qsizetype maximumBytes, QByteArray& data, xcb_atom_t& type)
{
    const xcb_atom_t property = m_atoms->transferProperty;
    // An owner that answered too late for an earlier request must not answer this one.
    while (xcb_generic_event_t* stale = xcb_poll_for_event(m_connection))
        std::free(stale);
    xcb_delete_property(m_connection, m_window, property);
    xcb_convert_selection(m_connection, m_window, selection, target, property, XCB_CURRENT_TIME);
    xcb_flush(m_connection);

    X11::Reply<xcb_generic_event_t> notified;
    const xcb_selection_notify_event_t* notify = nullptr;
    while (!notify) {
        notified.reset(waitForEvent(deadline, XCB_SELECTION_NOTIFY));
        if (!notified)
            return Outcome::Failed; // the owner did not answer in time
        notify = reinterpret_cast<const xcb_selection_notify_event_t*>(notified.get());
        if (notify->selection != selection || notify->target != target)
            notify = nullptr;
    }
    if (notify->property == XCB_ATOM_NONE)
        return Outcome::Refused;

    // Deleting the property as it is read also asks an incremental owner for its next piece.
    auto take = [&](QByteArray& into, xcb_atom_t& valueType) {
        const quint32 words = quint32(std::min<qsizetype>(maximumBytes - into.size() + 4, 1 << 28) / 4 + 1);
        const X11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(m_connection,
            xcb_get_property(m_connection, 1, m_window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr));
        if (!reply || reply->bytes_after > 0)
            return false;
        valueType = reply->type;
        into.append(
            static_cast<const char*>(xcb_get_property_value(reply.get())), xcb_get_property_value_length(reply.get()));
        return into.size() <= maximumBytes;
    };
    data.clear();
    if (!take(data, type))
        return Outcome::Failed;
    if (type != m_atoms->incr)
        return Outcome::Data;

    data.clear();
    for (;;) {
        const X11::Reply<xcb_generic_event_t> changed(waitForEvent(deadline, XCB_PROPERTY_NOTIFY));
        if (!changed)
            return Outcome::Failed;
        const auto* piece = reinterpret_cast<const xcb_property_notify_event_t*>(changed.get());
        if (piece->atom != property || piece->state != XCB_PROPERTY_NEW_VALUE)
            continue;
        const qsizetype before = data.size();
        if (!take(data, type))
            return Outcome::Failed;
        if (data.size() == before)
            return Outcome::Data; // an empty piece ends the transfer
    }
}

std::optional<X11SelectionReader::Targets> X11SelectionReader::readAll(
    xcb_atom_t selection, Clock::time_point deadline, qsizetype maximumBytes)
{
    if (!m_connection)
        return std::nullopt;
    const X11::Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, selection), nullptr));
    if (!owner)
        return std::nullopt;
    if (owner->owner == XCB_WINDOW_NONE)
        return Targets {};

    QByteArray list;
    xcb_atom_t type = XCB_ATOM_NONE;
    if (read(selection, m_atoms->targets, deadline, 64 * 1024, list, type) != Outcome::Data)
        return std::nullopt;
    const auto* atoms = reinterpret_cast<const xcb_atom_t*>(list.constData());
    const qsizetype count = list.size() / qsizetype(sizeof(xcb_atom_t));

    Targets targets;
    qsizetype total = 0;
    QByteArray text; // UTF8_STRING, else text/plain, else STRING, restored as Qt's "text/plain"
    int textRank = 0;
    for (qsizetype i = 0; i < count && i < 256; ++i) {
        const QByteArray name = atomName(atoms[i]);
        const bool isString = name == "STRING";
        if (isProtocolTarget(name) && !isString)
            continue;
        QByteArray bytes;
        const Outcome outcome = read(selection, atoms[i], deadline, maximumBytes - total, bytes, type);
        if (outcome == Outcome::Failed)
            return std::nullopt;
        if (outcome == Outcome::Refused || type == XCB_ATOM_ATOM || type == XCB_ATOM_WINDOW || type == XCB_ATOM_PIXMAP
            || type == XCB_ATOM_DRAWABLE || type == XCB_ATOM_BITMAP)
            continue;
        total += bytes.size();
        const int rank = name == "UTF8_STRING" ? 3 : name == "text/plain" ? 2 : isString ? 1 : 0;
        if (rank > textRank) {
            text = isString ? QString::fromLatin1(bytes).toUtf8() : bytes;
            textRank = rank;
        }
        if (!isString && name != "UTF8_STRING" && name != "text/plain")
            targets.append({ QString::fromLatin1(name), bytes });
    }
    if (textRank > 0)
        targets.prepend({ QStringLiteral("text/plain"), text });
    return targets;
}

std::optional<QString> X11SelectionReader::readText(
    xcb_atom_t selection, Clock::time_point deadline, qsizetype maximumBytes)
{
    if (!m_connection)
        return std::nullopt;
    QByteArray bytes;
    xcb_atom_t type = XCB_ATOM_NONE;
    Outcome outcome = read(selection, m_atoms->ewmh()->UTF8_STRING, deadline, maximumBytes, bytes, type);
    if (outcome == Outcome::Data)
        return QString::fromUtf8(bytes);
    if (outcome == Outcome::Refused
        && read(selection, XCB_ATOM_STRING, deadline, maximumBytes, bytes, type) == Outcome::Data)
        return QString::fromLatin1(bytes);
    return std::nullopt;
}

qint64 X11SelectionReader::ownerPid(xcb_atom_t selection)
{
    if (!m_connection)
        return 0;
    const X11::Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, selection), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return 0;
    return X11::ProcessQuery(m_connection, *m_atoms, owner->owner).pid();
}
