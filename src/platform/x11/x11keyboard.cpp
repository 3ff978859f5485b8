#include "platform/x11/x11keyboard.h"

#include "platform/x11/x11util.h"

#include <QCoreApplication>
#include <QCoroTimer>

#include <X11/keysym.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#define explicit explicit_ // xkb.h names a struct member `explicit`
#include <xcb/xkb.h>
#undef explicit

namespace {

using namespace std::chrono_literals;

QList<xcb_keycode_t> heldKeys(xcb_connection_t* c, const QList<xcb_keycode_t>& candidates)
{
    QList<xcb_keycode_t> held;
    const X11::Reply<xcb_query_keymap_reply_t> reply(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    if (!reply)
        return held;
    for (xcb_keycode_t keycode : candidates) {
        if (reply->keys[keycode / 8] & (1 << (keycode % 8)))
            held.append(keycode);
    }
    return held;
}

// The first keycode that types keysym in the keymap; fallback (the physical key) when none does.
xcb_keycode_t keycodeFor(xcb_key_symbols_t* symbols, xcb_keysym_t keysym, xcb_keycode_t fallback)
{
    xcb_keycode_t* keycodes = xcb_key_symbols_get_keycode(symbols, keysym);
    const xcb_keycode_t found = keycodes && keycodes[0] != XCB_NO_SYMBOL ? keycodes[0] : fallback;
    std::free(keycodes);
    return found;
}

void fake(xcb_connection_t* c, quint8 type, xcb_keycode_t keycode)
{
    xcb_test_fake_input(c, type, keycode, XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
}

} // namespace

X11Keyboard::X11Keyboard()
    : m_connection(X11::connection())
{
    if (!m_connection)
        return;
    if (const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(m_connection, &xcb_xkb_id); xkb && xkb->present)
        m_xkbEventBase = xkb->first_event;
    m_keymapChanged.setSingleShot(true);
    m_keymapChanged.setInterval(0);
    QObject::connect(&m_keymapChanged, &QTimer::timeout, [this] { readKeymap(); });
    QCoreApplication::instance()->installNativeEventFilter(this);
    readKeymap();
}

X11Keyboard::~X11Keyboard()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
    if (m_symbols)
        xcb_key_symbols_free(m_symbols);
}

bool X11Keyboard::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const quint8 type = event->response_type & 0x7f;
    bool keymapChanged = type == XCB_MAPPING_NOTIFY;
    if (m_xkbEventBase != 0 && type == m_xkbEventBase) {
        const quint8 xkbType = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event)->xkbType;
        keymapChanged = xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY;
    }
    // A layout switch brings several of these at once: the keymap is read again once, after them.
    if (keymapChanged && !m_keymapChanged.isActive())
        m_keymapChanged.start();
    return false; // Qt follows the keymap too
}

void X11Keyboard::readKeymap()
{
    if (m_symbols)
        xcb_key_symbols_free(m_symbols);
    // Both questions go out before either answer is awaited.
    m_symbols = xcb_key_symbols_alloc(m_connection);
    const xcb_get_modifier_mapping_cookie_t modifierCookie = xcb_get_modifier_mapping(m_connection);

    Keys keys;
    if (m_symbols) {
        keys.control = keycodeFor(m_symbols, XK_Control_L, keys.control);
        keys.shift = keycodeFor(m_symbols, XK_Shift_L, keys.shift);
        keys.letterC = keycodeFor(m_symbols, XK_c, keys.letterC);
    }
    const X11::Reply<xcb_get_modifier_mapping_reply_t> modifiers(
        xcb_get_modifier_mapping_reply(m_connection, modifierCookie, nullptr));
    if (modifiers) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int length = xcb_get_modifier_mapping_keycodes_length(modifiers.get());
        for (int i = 0; i < length; ++i) {
            if (codes[i] != 0 && !keys.modifiers.contains(codes[i]))
                keys.modifiers.append(codes[i]);
        }
    }
    m_keys = keys;
}

QCoro::Task<bool> X11Keyboard::sendCopyShortcut(bool toTerminal)
{
    xcb_connection_t* c = m_connection;
    if (!c)
        co_return false;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
    if (!xtest || !xtest->present)
        co_return false;

    // A copy shortcut sent while the user still holds the hot key's Alt would arrive as Alt+Ctrl+C.
    const Keys keys = m_keys; // this object may be gone after a wait, Qt's connection not
    QList<xcb_keycode_t> held = heldKeys(c, keys.modifiers);
    for (auto waited = 0ms; !held.isEmpty() && waited < modifierReleaseWait; waited += 10ms) {
        co_await QCoro::sleepFor(10ms);
        held = heldKeys(c, keys.modifiers);
    }
    for (xcb_keycode_t keycode : held)
        fake(c, XCB_KEY_RELEASE, keycode);

    fake(c, XCB_KEY_PRESS, keys.control);
    if (toTerminal)
        fake(c, XCB_KEY_PRESS, keys.shift);
    fake(c, XCB_KEY_PRESS, keys.letterC);
    fake(c, XCB_KEY_RELEASE, keys.letterC);
    if (toTerminal)
        fake(c, XCB_KEY_RELEASE, keys.shift);
    fake(c, XCB_KEY_RELEASE, keys.control);
    xcb_flush(c);
    co_return true;
}
