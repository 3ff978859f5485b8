#pragma once

#include "settings/appsettings.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class DesktopShortcuts;
class LoginItem;

// Behind the settings window: the prompt lives in AppSettings (written on every change); the login switch
// is the login item's real state, read when the window opens and after every change of the switch. Where the
// desktop binds Quillora's keys in its own settings, a keys switch sets them up there (on) or takes exactly
// Quillora's out again (off); it shows what the desktop's settings hold, read when the window opens and after
// every change.
class SettingsViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppSettings* settings READ settings CONSTANT)
    Q_PROPERTY(bool openAtLogin READ openAtLogin WRITE setOpenAtLogin NOTIFY openAtLoginChanged)
    Q_PROPERTY(bool loginItemAvailable READ loginItemAvailable CONSTANT)
    Q_PROPERTY(QString settingsFolder READ settingsFolder CONSTANT)
    Q_PROPERTY(bool keysOffered READ keysOffered NOTIFY keysChanged)
    Q_PROPERTY(bool keysSetUp READ keysSetUp WRITE setKeysSetUp NOTIFY keysChanged)
    Q_PROPERTY(QString keysNote READ keysNote NOTIFY keysChanged)

public:
    // loginItem may be null: the switch then shows off and cannot be changed. shortcuts may be null: no keys
    // switch.
    SettingsViewModel(
        AppSettings& settings, LoginItem* loginItem, DesktopShortcuts* shortcuts = nullptr, QObject* parent = nullptr);

    AppSettings* settings() const { return &m_settings; }
    bool loginItemAvailable() const { return m_loginItem != nullptr; }
    // Where the settings file lives, as the user would type it ("~/.config/Quillora").
    QString settingsFolder() const;

    bool openAtLogin() const { return m_openAtLogin; }
    // Registers or unregisters; a failure is not reported, the switch shows the state that resulted.
    void setOpenAtLogin(bool on);
    // Asks the login item again.
    void refreshLoginItem();

    // Known a moment after the window opens; false until then and where the desktop takes keys otherwise.
    bool keysOffered() const { return m_keysOffered; }
    bool keysSetUp() const { return m_keysSetUp; }
    // What the last change left to say (a key that something else holds, a list left alone); empty otherwise.
    QString keysNote() const { return m_keysNote; }
    void setKeysSetUp(bool on);

    // "Done".
    Q_INVOKABLE void dismiss() { emit dismissRequested(); }

signals:
    void openAtLoginChanged();
    void keysChanged();
    void dismissRequested();

private:
    QCoro::Task<> readKeys();
    QCoro::Task<> changeKeys(bool on);

    AppSettings& m_settings;
    LoginItem* m_loginItem;
    DesktopShortcuts* m_shortcuts;
    bool m_openAtLogin = false;
    bool m_keysOffered = false;
    bool m_keysSetUp = false;
    bool m_keysBusy = false;
    QString m_keysNote;
};
