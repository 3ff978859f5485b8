#pragma once

#include "settings/appsettings.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>

class DesktopShortcuts;
class HotkeySettings;
class LoginItem;
class ServiceSettings;

// Behind the settings window: the prompt lives in AppSettings (written on every change); the login switch
// is the login item's real state, read when the window opens and after every change of the switch. Where the
// desktop binds Quillora's keys in its own settings, a keys switch sets them up there (on) or takes exactly
// Quillora's out again (off); it shows what the desktop's settings hold, read when the window opens and after
// every change. The explanation service is this computer's or a team's; a change of it is checked and applied
// by "Done", which keeps the window open, saying why, when it cannot be used.
class SettingsViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppSettings* settings READ settings CONSTANT)
    Q_PROPERTY(HotkeySettings* hotkeys READ hotkeys CONSTANT)
    Q_PROPERTY(bool openAtLogin READ openAtLogin WRITE setOpenAtLogin NOTIFY openAtLoginChanged)
    Q_PROPERTY(bool loginItemAvailable READ loginItemAvailable CONSTANT)
    Q_PROPERTY(QString settingsFolder READ settingsFolder CONSTANT)
    Q_PROPERTY(bool keysOffered READ keysOffered NOTIFY keysChanged)
    Q_PROPERTY(bool keysSetUp READ keysSetUp WRITE setKeysSetUp NOTIFY keysChanged)
    Q_PROPERTY(QString keysNote READ keysNote NOTIFY keysChanged)
    Q_PROPERTY(bool serviceOffered READ serviceOffered CONSTANT)
    Q_PROPERTY(bool teamService READ teamService WRITE setTeamService NOTIFY serviceChanged)
    Q_PROPERTY(QString serviceAddress READ serviceAddress WRITE setServiceAddress NOTIFY serviceChanged)
    Q_PROPERTY(QString serviceToken READ serviceToken WRITE setServiceToken NOTIFY serviceChanged)
    Q_PROPERTY(QString serviceProblem READ serviceProblem NOTIFY serviceChanged)
    Q_PROPERTY(QString tokenNote READ tokenNote NOTIFY serviceChanged)
    Q_PROPERTY(QString checkResult READ checkResult NOTIFY checkChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkChanged)

public:
    // loginItem may be null: the switch then shows off and cannot be changed. shortcuts may be null: no keys
    // switch. service may be null: no choice of service. hotkeys may be null: no keyboard shortcuts group.
    SettingsViewModel(AppSettings& settings, LoginItem* loginItem, DesktopShortcuts* shortcuts = nullptr,
        ServiceSettings* service = nullptr, HotkeySettings* hotkeys = nullptr, QObject* parent = nullptr);
    ~SettingsViewModel() override;

    AppSettings* settings() const { return &m_settings; }
    HotkeySettings* hotkeys() const { return m_hotkeys; }
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

    bool serviceOffered() const { return m_service != nullptr; }
    bool teamService() const { return m_teamService; }
    void setTeamService(bool team);
    QString serviceAddress() const { return m_serviceAddress; }
    void setServiceAddress(const QString& address);
    QString serviceToken() const { return m_serviceToken; }
    void setServiceToken(const QString& token);
    // What is wrong with the address typed, as it is typed; empty for this computer's service.
    QString serviceProblem() const { return m_serviceProblem; }
    QString tokenNote() const;
    // "Test": the address and token as typed, tried without asking the model anything.
    Q_INVOKABLE void checkService();
    static constexpr std::chrono::seconds checkDeadline { 10 };
    QString checkResult() const { return m_checkResult; }
    bool checking() const { return m_checking; }

    // "Done": applies a changed service, then closes.
    Q_INVOKABLE void dismiss();

signals:
    void openAtLoginChanged();
    void keysChanged();
    void serviceChanged();
    void checkChanged();
    void dismissRequested();

private:
    QCoro::Task<> readKeys();
    QCoro::Task<> changeKeys(bool on);
    void showDesktopKeys(const QMap<QString, QString>& keys);
    QCoro::Task<> runCheck();
    QCoro::Task<> applyAndDismiss();
    bool serviceEdited() const;
    void recheckAddress();

    AppSettings& m_settings;
    LoginItem* m_loginItem;
    DesktopShortcuts* m_shortcuts;
    bool m_openAtLogin = false;
    bool m_keysOffered = false;
    bool m_keysSetUp = false;
    bool m_keysBusy = false;
    QString m_keysNote;
    ServiceSettings* m_service;
    HotkeySettings* m_hotkeys;
    bool m_teamService = false;
    QString m_serviceAddress;
    QString m_serviceToken;
    QString m_serviceProblem;
    QString m_checkResult;
    bool m_checking = false;
    bool m_applying = false;
};
