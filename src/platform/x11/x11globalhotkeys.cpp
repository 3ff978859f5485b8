#include "platform/x11/x11globalhotkeys.h"

#include "platform/x11/x11util.h"

#include <QSocketNotifier>

#include <X11/keysym.h>
#include <xcb/xcb_keysyms.h>

#define explicit explicit_ // xkb.h names a struct member `explicit`
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <cstdio>

namespace {

constexpr quint16 relevantModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

quint16 toX11Modifiers(Qt::KeyboardModifiers modifiers)
{
    quint16 mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

} // namespace

X11GlobalHotkeys::X11GlobalHotkeys() = default;

X11GlobalHotkeys::~X11GlobalHotkeys()
{
    delete m_notifier;
    if (m_symbols)
        xcb_key_symbols_free(m_symbols);
    // Closing the connection releases every grab it holds.
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool X11GlobalHotkeys::connectOnce()
{
    if (m_connection)
        return true;
    if (m_unavailable)
        return false;

    xcb_connection_t* connection = X11::openPrivateConnection();
    if (!connection) {
        m_unavailable = true;
        return false;
    }
    m_connection = connection;
    m_root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;

    // XKB tells us about keymap and layout changes, and marks auto-repeated presses as such (no release
    // between them), so holding Alt+X down triggers once.
    const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection, &xcb_xkb_id);
    X11::Reply<xcb_xkb_use_extension_reply_t> use(xcb_xkb_use_extension_reply(
        connection, xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
    if (xkb && xkb->present && use && use->supported) {
        m_hasXkb = true;
        m_xkbEventBase = xkb->first_event;
        const quint16 events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        const quint16 mapParts = XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP;
        xcb_xkb_select_events(connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, mapParts, mapParts, nullptr);
        X11::Reply<xcb_xkb_per_client_flags_reply_t>(xcb_xkb_per_client_flags_reply(connection,
            xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD,
                XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0,
                0),
            nullptr));
    }
    m_numLockMask = readNumLockMask();

    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11GlobalHotkeys::readEvents);
    return true;
}

quint16 X11GlobalHotkeys::readNumLockMask()
{
    // The modifier that holds a key whose symbol is Num_Lock; usually Mod2, but the user's keymap decides.
    if (m_symbols)
        xcb_key_symbols_free(m_symbols);
    m_symbols = xcb_key_symbols_alloc(m_connection);
    const xcb_get_modifier_mapping_cookie_t cookie = xcb_get_modifier_mapping(m_connection);
    xcb_keycode_t* numLockKeys = m_symbols ? xcb_key_symbols_get_keycode(m_symbols, XK_Num_Lock) : nullptr;
    const X11::Reply<xcb_get_modifier_mapping_reply_t> modifiers(
        xcb_get_modifier_mapping_reply(m_connection, cookie, nullptr));
    quint16 mask = 0;
    if (modifiers && numLockKeys) {
        const xcb_keycode_t* keys = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int perModifier = modifiers->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
            for (int i = 0; i < perModifier && mask == 0; ++i) {
                const xcb_keycode_t key = keys[modifier * perModifier + i];
                for (const xcb_keycode_t* numLock = numLockKeys; key != 0 && *numLock != XCB_NO_SYMBOL; ++numLock) {
                    if (*numLock == key)
                        mask = quint16(1U << modifier);
                }
            }
        }
    }
    std::free(numLockKeys);
    return mask;
}

QList<quint16> X11GlobalHotkeys::lockVariants(quint16 numLockMask)
{
    QList<quint16> variants { 0, XCB_MOD_MASK_LOCK };
    if (numLockMask != 0 && numLockMask != XCB_MOD_MASK_LOCK)
        variants << numLockMask << quint16(numLockMask | XCB_MOD_MASK_LOCK);
    return variants;
}

int X11GlobalHotkeys::registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers)
{
    if (!connectOnce())
        return unavailableStatus;
    if (keyCode > 255)
        return XCB_VALUE;
    const Grab wanted { xcb_keycode_t(keyCode), toX11Modifiers(modifiers) };
    const auto previous = m_grabs.constFind(id);
    const bool hadKey = previous != m_grabs.cend();
    if (hadKey && previous->keyCode == wanted.keyCode && previous->modifiers == wanted.modifiers)
        return 0;
    // The new key first: where another client holds it, the id keeps the key it had.
    const int status = grab(wanted, lockVariants(m_numLockMask));
    if (status != 0)
        return status;
    const Grab old = hadKey ? *previous : Grab {};
    m_grabs.insert(id, wanted);
    // Two commands swapping keys hold one key each in turn: a key still another id's stays grabbed.
    if (hadKey && !isGrabbed(old))
        ungrab(old, lockVariants(m_numLockMask));
    xcb_flush(m_connection);
    return 0;
}

bool X11GlobalHotkeys::isGrabbed(const Grab& grab) const
{
    return std::any_of(m_grabs.cbegin(), m_grabs.cend(),
        [&](const Grab& held) { return held.keyCode == grab.keyCode && held.modifiers == grab.modifiers; });
}

void X11GlobalHotkeys::unregisterHotkey(quint32 id)
{
    const auto found = m_grabs.constFind(id);
    if (found == m_grabs.cend())
        return;
    const Grab old = *found;
    m_grabs.erase(found);
    if (!isGrabbed(old))
        ungrab(old, lockVariants(m_numLockMask));
    xcb_flush(m_connection);
}

int X11GlobalHotkeys::grab(const Grab& grab, const QList<quint16>& lockMasks)
{
    QList<xcb_void_cookie_t> cookies;
    for (const quint16 locks : lockMasks) {
        cookies << xcb_grab_key_checked(
            m_connection, 0, m_root, grab.modifiers | locks, grab.keyCode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    }
    int status = 0;
    for (const xcb_void_cookie_t cookie : cookies) {
        if (const X11::Reply<xcb_generic_error_t> error { xcb_request_check(m_connection, cookie) }; error && !status)
            status = error->error_code;
    }
    if (xcb_connection_has_error(m_connection))
        status = unavailableStatus;
    // Never keep half a key: without its lock variants it would work only with NumLock off.
    if (status != 0)
        ungrab(grab, lockMasks);
    // The checks may have read events into xcb's queue, where the socket notifier cannot see them.
    readEventsLater();
    return status;
}

void X11GlobalHotkeys::ungrab(const Grab& grab, const QList<quint16>& lockMasks)
{
    for (const quint16 locks : lockMasks)
        xcb_ungrab_key(m_connection, grab.keyCode, m_root, grab.modifiers | locks);
}

void X11GlobalHotkeys::followNumLock()
{
    // Grabs are made on keycodes, which a new layout or keymap leaves where they are; only the NumLock
    // modifier can move. Then the new variants are grabbed before the old ones go, so no press falls between.
    const quint16 numLockMask = readNumLockMask();
    if (numLockMask == m_numLockMask)
        return;
    const QList<quint16> before = lockVariants(m_numLockMask);
    const QList<quint16> after = lockVariants(numLockMask);
    QList<quint16> added, removed;
    std::copy_if(
        after.cbegin(), after.cend(), std::back_inserter(added), [&](quint16 v) { return !before.contains(v); });
    std::copy_if(
        before.cbegin(), before.cend(), std::back_inserter(removed), [&](quint16 v) { return !after.contains(v); });
    m_numLockMask = numLockMask;
    for (auto it = m_grabs.cbegin(); it != m_grabs.cend(); ++it) {
        if (const int status = grab(*it, added); status != 0) {
            std::printf("[HotkeyManager] RegisterEventHotKey id=%u failed: %d\n", it.key(), status);
            std::fflush(stdout);
        }
        ungrab(*it, removed);
    }
    xcb_flush(m_connection);
}

void X11GlobalHotkeys::readEventsLater()
{
    QMetaObject::invokeMethod(this, &X11GlobalHotkeys::readEvents, Qt::QueuedConnection);
}

void X11GlobalHotkeys::readEvents()
{
    if (!m_connection)
        return;
    bool keymapChanged = false;
    QList<quint32> pressedIds;
    while (const X11::Reply<xcb_generic_event_t> event { xcb_poll_for_event(m_connection) }) {
        const quint8 type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS) {
            const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
            if (press->detail == m_heldKey)
                continue; // auto-repeat
            m_heldKey = press->detail;
            const quint16 held = press->state & relevantModifiers;
            for (auto it = m_grabs.cbegin(); it != m_grabs.cend(); ++it) {
                if (it->keyCode == press->detail && it->modifiers == held)
                    pressedIds << it.key();
            }
        } else if (type == XCB_KEY_RELEASE) {
            if (reinterpret_cast<const xcb_key_release_event_t*>(event.get())->detail == m_heldKey)
                m_heldKey = 0;
        } else if (type == XCB_MAPPING_NOTIFY) {
            keymapChanged = true;
        } else if (m_hasXkb && type == m_xkbEventBase) {
            const quint8 xkbType = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event.get())->xkbType;
            keymapChanged = keymapChanged || xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY;
        }
    }
    if (xcb_connection_has_error(m_connection)) {
        // The display went away; no key will come any more.
        m_notifier->setEnabled(false);
        return;
    }
    if (keymapChanged)
        followNumLock();
    for (const quint32 id : std::as_const(pressedIds))
        emit pressed(id);
}
