#pragma once

#include "platform/globalhotkeys.h"

#include <QHash>

#include <xcb/xcb.h>

class QSocketNotifier;
struct _XCBKeySymbols;

// Passive key grabs on the root window, on a connection of our own so Qt's event handling stays untouched.
// Each combination is grabbed four times, with and without CapsLock and NumLock, since the server matches
// the lock modifiers too. The NumLock bit comes from the server's modifier mapping. A keymap or layout
// change (an XKB event) grabs the lock variants again when the NumLock bit moved. A registration waits on
// the main thread for the server's answer to its grabs (one round trip), to report a key another client holds.
class X11GlobalHotkeys final : public GlobalHotkeys {
    Q_OBJECT

public:
    X11GlobalHotkeys();
    ~X11GlobalHotkeys() override;

    int registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers) override;
    void unregisterHotkey(quint32 id) override;

private:
    struct Grab {
        xcb_keycode_t keyCode;
        quint16 modifiers; // X modifier mask, without the lock keys
    };

    bool connectOnce();
    quint16 readNumLockMask();
    static QList<quint16> lockVariants(quint16 numLockMask);
    int grab(const Grab& grab, const QList<quint16>& lockMasks);
    void ungrab(const Grab& grab, const QList<quint16>& lockMasks);
    bool isGrabbed(const Grab& grab) const; // by any id
    void followNumLock();
    void readEvents();
    void readEventsLater();

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    quint8 m_xkbEventBase = 0;
    bool m_hasXkb = false;
    bool m_unavailable = false;
    quint16 m_numLockMask = 0;
    QSocketNotifier* m_notifier = nullptr;
    _XCBKeySymbols* m_symbols = nullptr; // read again at each keymap change
    QHash<quint32, Grab> m_grabs;
    xcb_keycode_t m_heldKey = 0; // the grabbed key that is down, to drop auto-repeated presses
};
