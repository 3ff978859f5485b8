#include "settings/settingsviewmodel.h"

#include "platform/loginitem.h"
#include "settings/appsettings.h"

#include <QDir>
#include <QFileInfo>

SettingsViewModel::SettingsViewModel(AppSettings& settings, LoginItem* loginItem, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_loginItem(loginItem)
{
    refreshLoginItem();
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
