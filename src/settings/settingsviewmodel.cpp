#include "settings/settingsviewmodel.h"

#include "platform/desktopshortcuts.h"
#include "platform/loginitem.h"
#include "service/quilloraapiclient.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"
#include "settings/servicesettings.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

SettingsViewModel::SettingsViewModel(AppSettings& settings, LoginItem* loginItem, DesktopShortcuts* shortcuts,
    ServiceSettings* service, HotkeySettings* hotkeys, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_loginItem(loginItem)
    , m_shortcuts(shortcuts)
    , m_service(service)
    , m_hotkeys(hotkeys)
{
    if (m_hotkeys)
        m_hotkeys->reload();
    refreshLoginItem();
    if (m_shortcuts)
        readKeys();
    if (m_service && !m_service->usesBuiltInService()) {
        m_teamService = true;
        m_serviceAddress = m_service->teamAddress();
        m_serviceToken = QString::fromUtf8(m_service->endpoint().token);
    }
}

SettingsViewModel::~SettingsViewModel() = default;

void SettingsViewModel::setTeamService(bool team)
{
    m_teamService = team && m_service;
    recheckAddress();
}

void SettingsViewModel::setServiceAddress(const QString& address)
{
    if (address == m_serviceAddress)
        return;
    m_serviceAddress = address;
    recheckAddress();
}

void SettingsViewModel::setServiceToken(const QString& token)
{
    if (token == m_serviceToken)
        return;
    m_serviceToken = token;
    emit serviceChanged();
}

void SettingsViewModel::recheckAddress()
{
    m_serviceProblem.clear();
    // Said once there is something to judge: not while the field is still empty.
    if (m_teamService && !m_serviceAddress.trimmed().isEmpty())
        serviceUrlFromUserInput(m_serviceAddress, &m_serviceProblem);
    m_checkResult.clear();
    emit serviceChanged();
    emit checkChanged();
}

QString SettingsViewModel::tokenNote() const { return m_service ? m_service->tokenNote() : QString(); }

bool SettingsViewModel::serviceEdited() const
{
    if (!m_service)
        return false;
    if (m_teamService == m_service->usesBuiltInService())
        return true;
    return m_teamService
        && (m_serviceAddress.trimmed() != m_service->teamAddress()
            || m_serviceToken.trimmed().toUtf8() != m_service->endpoint().token);
}

void SettingsViewModel::checkService()
{
    if (!m_checking)
        runCheck();
}

QCoro::Task<> SettingsViewModel::runCheck()
{
    QPointer<SettingsViewModel> self(this);
    QString problem;
    const QUrl url = m_teamService ? serviceUrlFromUserInput(m_serviceAddress, &problem)
                                   : (m_service ? m_service->endpoint().builtInUrl : QUrl());
    if (!problem.isEmpty() || url.isEmpty()) {
        m_serviceProblem = problem;
        emit serviceChanged();
        co_return;
    }
    const QByteArray token = m_teamService ? m_serviceToken.trimmed().toUtf8() : m_service->endpoint().builtInToken;
    // A client of its own, so the check never waits behind or changes the requests of the service in use.
    QuilloraAPIClient client(url, token);
    client.setTimeout(checkDeadline);
    m_checking = true;
    m_checkResult = QStringLiteral("Testing…");
    emit checkChanged();
    const ServiceCheck check = co_await client.check();
    if (!self)
        co_return;
    m_checking = false;
    m_checkResult = check.sentence;
    emit checkChanged();
}

void SettingsViewModel::dismiss()
{
    if (!serviceEdited()) {
        emit dismissRequested();
        return;
    }
    if (!m_applying)
        applyAndDismiss();
}

QCoro::Task<> SettingsViewModel::applyAndDismiss()
{
    QPointer<SettingsViewModel> self(this);
    ServiceSettings* const service = m_service; // lives as long as the program
    m_applying = true;
    const QString address = m_teamService ? m_serviceAddress : QString();
    const QString token = m_serviceToken;
    const QString problem = co_await service->save(address, token);
    if (!self)
        co_return;
    m_applying = false;
    if (!problem.isEmpty()) {
        m_serviceProblem = problem;
        emit serviceChanged();
        co_return;
    }
    emit serviceChanged();
    emit dismissRequested();
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
    const QMap<QString, QString> keys = co_await shortcuts->keysSetUp();
    if (!self)
        co_return;
    m_keysOffered = true;
    m_keysSetUp = !keys.isEmpty();
    showDesktopKeys(keys);
    emit keysChanged();
}

void SettingsViewModel::showDesktopKeys(const QMap<QString, QString>& keys)
{
    // While GNOME's keys are off, none of ours is in force, and the rows show the keys a set-up would give.
    if (m_hotkeys)
        m_hotkeys->showDesktopKeys(keys.isEmpty() ? std::nullopt : std::optional(keys));
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
    const QMap<QString, QString> keys = co_await shortcuts->keysSetUp();
    if (!self)
        co_return;
    m_keysBusy = false;
    m_keysSetUp = !keys.isEmpty();
    showDesktopKeys(keys);
    m_keysNote = outcome.message;
    emit keysChanged();
}
