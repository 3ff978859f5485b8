#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

class AppSettings;
class DesktopShortcuts;
class HotkeySettings;
class LoginItem;
class ServiceSettings;
class QQmlEngine;
#include "ui/viewwindow.h"

// The one settings window: reused, raised and focused while it is open; built anew, with the current
// settings and login state, once it was closed. Main thread only.
class SettingsWindow : public QObject {
    Q_OBJECT

public:
    static inline const QUrl settingsViewUrl { QStringLiteral("qrc:/Quillora/settings/SettingsView.qml") };

    // The engine must outlive this object; loginItem may be null (no login item on this desktop), and so may
    // shortcuts (the desktop's own shortcuts are not offered for Quillora's keys), service (no choice of
    // service) and hotkeys (no keyboard shortcuts group).
    SettingsWindow(AppSettings& settings, LoginItem* loginItem, QQmlEngine* engine,
        DesktopShortcuts* shortcuts = nullptr, ServiceSettings* service = nullptr, HotkeySettings* hotkeys = nullptr,
        QObject* parent = nullptr);
    ~SettingsWindow() override;

    void open();
    // The open window, or null.
    ViewWindow* window() const { return m_window.data(); }

private:
    AppSettings& m_settings;
    LoginItem* m_loginItem;
    DesktopShortcuts* m_shortcuts;
    ServiceSettings* m_service;
    HotkeySettings* m_hotkeys;
    QQmlEngine* m_engine;
    QPointer<ViewWindow> m_window;
};
