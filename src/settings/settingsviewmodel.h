#pragma once

#include "settings/appsettings.h"

#include <QObject>

class LoginItem;

// Behind the settings window: the prompt lives in AppSettings (written on every change); the login switch
// is the login item's real state, read when the window opens and after every change of the switch.
class SettingsViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppSettings* settings READ settings CONSTANT)
    Q_PROPERTY(bool openAtLogin READ openAtLogin WRITE setOpenAtLogin NOTIFY openAtLoginChanged)
    Q_PROPERTY(bool loginItemAvailable READ loginItemAvailable CONSTANT)
    Q_PROPERTY(QString settingsFolder READ settingsFolder CONSTANT)

public:
    // loginItem may be null: the switch then shows off and cannot be changed.
    SettingsViewModel(AppSettings& settings, LoginItem* loginItem, QObject* parent = nullptr);

    AppSettings* settings() const { return &m_settings; }
    bool loginItemAvailable() const { return m_loginItem != nullptr; }
    // Where the settings file lives, as the user would type it ("~/.config/Quillora").
    QString settingsFolder() const;

    bool openAtLogin() const { return m_openAtLogin; }
    // Registers or unregisters; a failure is not reported, the switch shows the state that resulted.
    void setOpenAtLogin(bool on);
    // Asks the login item again.
    void refreshLoginItem();

    // "Done".
    Q_INVOKABLE void dismiss() { emit dismissRequested(); }

signals:
    void openAtLoginChanged();
    void dismissRequested();

private:
    AppSettings& m_settings;
    LoginItem* m_loginItem;
    bool m_openAtLogin = false;
};
