#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <Qt>

#include <functional>
#include <map>
#include <set>

class GlobalHotkeys;

using HotkeyHandler = std::function<void()>;

// Quillora's global hot keys: each registered id runs its handler when its key is pressed anywhere on the
// desktop. Main thread only.
class HotkeyManager {
public:
    // Physical key positions as X11 keycodes (evdev code + 8), the same under every layout.
    static constexpr quint32 keyCodeA = 38;
    static constexpr quint32 keyCodeZ = 52;
    static constexpr quint32 keyCodeX = 53;

    explicit HotkeyManager(GlobalHotkeys& hotkeys);
    ~HotkeyManager();
    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    // Keeps the handler even when the desktop refuses the key; a refusal is logged, and its status (as
    // GlobalHotkeys::registerHotkey's) returned. description: what the key does, for desktops that show the keys
    // they hand out.
    int registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers, const QString& description,
        HotkeyHandler handler);
    // Moves a registered id to another key, keeping its handler. Returns registerHotkey's status from
    // GlobalHotkeys: 0 when the new key is in force; otherwise the id keeps the key it had.
    int changeHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers);
    // Releases every key and forgets every handler.
    void unregisterAll();
    // Runs the handler registered under id, if any.
    void handleHotKeyEvent(quint32 id);

    bool isRegistered(quint32 id) const { return m_hotKeyRefs.count(id) > 0; }

private:
    QPointer<GlobalHotkeys> m_hotkeys;
    std::set<quint32> m_hotKeyRefs; // the ids the desktop accepted
    std::map<quint32, HotkeyHandler> m_callbacks;
    QMetaObject::Connection m_eventHandler;
};
