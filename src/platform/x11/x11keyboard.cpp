#include "platform/x11/x11keyboard.h"

#include "platform/x11/x11util.h"

#include <QCoroTimer>
#include <QList>

#include <cstdlib>

#include <X11/keysym.h>
#include <xcb/xtest.h>

namespace {

using namespace std::chrono_literals;

// Keycodes that the server's modifier mapping assigns to any modifier.
QList<xcb_keycode_t> modifierKeycodes(xcb_connection_t* c)
{
    QList<xcb_keycode_t> keycodes;
    const X11::Reply<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!reply)
        return keycodes;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int length = xcb_get_modifier_mapping_keycodes_length(reply.get());
    for (int i = 0; i < length; ++i) {
        if (codes[i] != 0 && !keycodes.contains(codes[i]))
            keycodes.append(codes[i]);
    }
    return keycodes;
}

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

// The first keycode that types keysym in the current layout; fallback (the physical key) when none does.
xcb_keycode_t keycodeFor(xcb_connection_t* c, xcb_keysym_t keysym, xcb_keycode_t fallback)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const X11::Reply<xcb_get_keyboard_mapping_reply_t> reply(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr));
    if (!reply)
        return fallback;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perKeycode = reply->keysyms_per_keycode;
    xcb_keycode_t found = fallback;
    for (int i = 0; i < count && found == fallback; ++i) {
        for (int j = 0; j < perKeycode && j < 2; ++j) {
            if (keysyms[i * perKeycode + j] == keysym) {
                found = xcb_keycode_t(setup->min_keycode + i);
                break;
            }
        }
    }
    return found;
}

void fake(xcb_connection_t* c, quint8 type, xcb_keycode_t keycode)
{
    xcb_test_fake_input(c, type, keycode, XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
}

} // namespace

QCoro::Task<bool> X11Keyboard::sendCopyShortcut(bool toTerminal)
{
    xcb_connection_t* c = X11::connection();
    if (!c)
        co_return false;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
    if (!xtest || !xtest->present)
        co_return false;

    // A copy shortcut sent while the user still holds the hot key's Alt would arrive as Alt+Ctrl+C.
    const QList<xcb_keycode_t> modifiers = modifierKeycodes(c);
    QList<xcb_keycode_t> held = heldKeys(c, modifiers);
    for (auto waited = 0ms; !held.isEmpty() && waited < modifierReleaseWait; waited += 10ms) {
        co_await QCoro::sleepFor(10ms);
        held = heldKeys(c, modifiers);
    }
    for (xcb_keycode_t keycode : held)
        fake(c, XCB_KEY_RELEASE, keycode);

    // Evdev positions as fallbacks: left Ctrl, left Shift, C.
    const xcb_keycode_t control = keycodeFor(c, XK_Control_L, 37);
    const xcb_keycode_t shift = keycodeFor(c, XK_Shift_L, 50);
    const xcb_keycode_t letterC = keycodeFor(c, XK_c, 54);

    fake(c, XCB_KEY_PRESS, control);
    if (toTerminal)
        fake(c, XCB_KEY_PRESS, shift);
    fake(c, XCB_KEY_PRESS, letterC);
    fake(c, XCB_KEY_RELEASE, letterC);
    if (toTerminal)
        fake(c, XCB_KEY_RELEASE, shift);
    fake(c, XCB_KEY_RELEASE, control);
    xcb_flush(c);
    co_return true;
}
