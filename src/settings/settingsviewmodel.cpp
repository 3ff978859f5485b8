#include "settings/settingsviewmodel.h"

#include "platform/desktopshortcuts.h"
#include "platform/loginitem.h"
#include "settings/appsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

SettingsViewModel::SettingsViewModel(
    AppSettings& settings, LoginItem* loginItem, DesktopShortcuts* shortcuts, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_loginItem(loginItem)
    , m_shortcuts(shortcuts)
{
    refreshLoginItem();
    if (m_shortcuts)
        readKeys();
}

QString SettingsViewModel::settingsFolder() const
{
    const QString folder = QFileInfo(m_settings.fileName()).absolutePath();
    const QString home = QDir::homePath();
    return folder.startsWith(home + u'/') ? u'~' + folder.mid(home.size()) : folder;
}

void SettingsViewModel::refreshLoginItem()
{
    using Status = LoginItem::Status;
    const Status status = m_loginItem ? m_loginItem->status() : Status::NotFound;
    // Waiting for the user's approval counts as on: the user asked for it.
    const bool on = status == Status::Enabled || status == Status::RequiresApproval;
    if (on == m_openAtLogin)
        return;
    m_openAtLogin = on;
    emit openAtLoginChanged();
}

void SettingsViewModel::setOpenAtLogin(bool on)
{
    if (m_loginItem) {
        if (on)
            m_loginItem->registerItem();
        else
            m_loginItem->unregisterItem();
    }
    refreshLoginItem();
    // The switch may have moved by itself although nothing changed; put it back where the state is.
    emit openAtLoginChanged();
}

QCoro::Task<> SettingsViewModel::readKeys()
{
    // The platform's facility outlives every window and model.
    DesktopShortcuts* const shortcuts = m_shortcuts;
    QPointer<SettingsViewModel> self(this);
    const bool offered = co_await shortcuts->isOffered();
    if (!self || !offered)
        co_return;
    const bool setUp = co_await shortcuts->areSetUp();
    if (!self)
        co_return;
    m_keysOffered = true;
    m_keysSetUp = setUp;
    emit keysChanged();
}

void SettingsViewModel::setKeysSetUp(bool on)
{
    if (!m_keysOffered || m_keysBusy) {
        // The switch may have moved by itself; put it back.
        emit keysChanged();
        return;
    }
    changeKeys(on);
}

QCoro::Task<> SettingsViewModel::changeKeys(bool on)
{
    DesktopShortcuts* const shortcuts = m_shortcuts;
    QPointer<SettingsViewModel> self(this);
    m_keysBusy = true;
    DesktopShortcuts::Outcome outcome;
    if (on)
        outcome = co_await shortcuts->setUp();
    else
        outcome = co_await shortcuts->remove();
    if (!self)
        co_return;
    const bool setUp = co_await shortcuts->areSetUp();
    if (!self)
        co_return;
    m_keysBusy = false;
    m_keysSetUp = setUp;
    m_keysNote = outcome.message;
    emit keysChanged();
}
