#pragma once

#include "platform/keyboardsynthesizer.h"

#include <QAbstractNativeEventFilter>
#include <QList>
#include <QTimer>

#include <chrono>

#include <xcb/xcb.h>

struct _XCBKeySymbols;

// The copy shortcut through the XTEST extension, on Qt's connection. The keycodes of the keys it presses
// and of the modifiers are read once and again only when the keymap changes (a core MappingNotify or an
// XKB keymap event, which Qt's connection receives), so sending the shortcut asks the server nothing about
// the keymap. It does ask which keys are held: one round trip that the main thread waits for, repeated
// every 10 ms while the user still holds a modifier.
class X11Keyboard final : public KeyboardSynthesizer, private QAbstractNativeEventFilter {
public:
    // How long the user's own modifiers (the hot key's Alt) may stay held before they are released for them.
    static constexpr std::chrono::milliseconds modifierReleaseWait { 400 };

    X11Keyboard();
    ~X11Keyboard() override;

    QCoro::Task<bool> sendCopyShortcut(bool toTerminal) override;

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    // Reads the keymap anew; the main thread waits for it (one round trip), only after a keymap change.
    void readKeymap();

    struct Keys {
        // Evdev positions until the keymap says otherwise: left Ctrl, left Shift, C.
        xcb_keycode_t control = 37, shift = 50, letterC = 54;
        QList<xcb_keycode_t> modifiers; // keycodes the modifier mapping assigns to any modifier
    };
    xcb_connection_t* m_connection = nullptr;
    _XCBKeySymbols* m_symbols = nullptr;
    Keys m_keys;
    quint8 m_xkbEventBase = 0; // 0: no XKB on Qt's connection
    QTimer m_keymapChanged; // reads the keymap once after a burst of change events
};
