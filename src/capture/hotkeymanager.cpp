#include "capture/hotkeymanager.h"

#include "platform/globalhotkeys.h"

#include <cstdio>

HotkeyManager::HotkeyManager(GlobalHotkeys& hotkeys)
    : m_hotkeys(&hotkeys)
{
}

HotkeyManager::~HotkeyManager() { unregisterAll(); }

int HotkeyManager::registerHotkey(
    quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers, const QString& description, HotkeyHandler handler)
{
    if (!m_eventHandler && m_hotkeys) {
        m_eventHandler = QObject::connect(
            m_hotkeys, &GlobalHotkeys::pressed, m_hotkeys, [this](quint32 pressedId) { handleHotKeyEvent(pressedId); });
    }
    m_callbacks[id] = std::move(handler);

    if (m_hotkeys)
        m_hotkeys->describeHotkey(id, description);
    const int status = m_hotkeys ? m_hotkeys->registerHotkey(id, keyCode, modifiers) : GlobalHotkeys::unavailableStatus;
    if (status == 0) {
        m_hotKeyRefs.insert(id);
        return status;
    }
    if (status == GlobalHotkeys::unavailableStatus) {
        // The same for every key and every start in such a session: say it once, and say what still works.
        static bool said = false;
        if (!std::exchange(said, true)) {
            std::printf("[HotkeyManager] global hot keys are not available on this desktop; bind keys to "
                        "`quillora --explain-selection`, `quillora --ask` or the D-Bus methods instead\n");
            std::fflush(stdout);
        }
        return status;
    }
    std::printf("[HotkeyManager] RegisterEventHotKey id=%u failed: %d\n", id, status);
    std::fflush(stdout);
    return status;
}

int HotkeyManager::changeHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers)
{
    if (!m_hotkeys || !m_callbacks.count(id))
        return GlobalHotkeys::unavailableStatus;
    const int status = m_hotkeys->registerHotkey(id, keyCode, modifiers);
    if (status == 0)
        m_hotKeyRefs.insert(id);
    return status;
}

void HotkeyManager::unregisterAll()
{
    if (m_hotkeys) {
        for (const quint32 id : m_hotKeyRefs)
            m_hotkeys->unregisterHotkey(id);
    }
    m_hotKeyRefs.clear();
    m_callbacks.clear();
    QObject::disconnect(m_eventHandler);
    m_eventHandler = {};
}

void HotkeyManager::handleHotKeyEvent(quint32 id)
{
    const auto found = m_callbacks.find(id);
    if (found == m_callbacks.end())
        return;
    // A copy: the handler may unregister everything, itself included.
    const HotkeyHandler handler = found->second;
    if (handler)
        handler();
}
