#include "settings/appsettings.h"

#include <QFile>
#include <QStandardPaths>
#include <QUuid>

#include <cstdio>

QString AppSettings::defaultFileName()
{
    // Organisation and application are both "Quillora": $XDG_CONFIG_HOME/Quillora/Quillora.conf.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Quillora/Quillora.conf");
}

AppSettings::AppSettings(const QString& fileName, QObject* parent)
    : QObject(parent)
    , m_store(fileName, QSettings::IniFormat)
{
    m_customSystemPrompt = m_store.value(customSystemPromptKey, QString()).toString();

    m_userId = m_store.value(userIdKey).toString();
    if (m_userId.isEmpty()) {
        m_userId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        // On disk before anything can be sent with it, so every request of this install carries the same id.
        writeNow(userIdKey, m_userId);
    }
}

void AppSettings::setCustomSystemPrompt(const QString& prompt)
{
    if (prompt == m_customSystemPrompt)
        return;
    m_customSystemPrompt = prompt;
    // Written through on every keystroke: a process killed right after typing keeps the text.
    writeNow(customSystemPromptKey, prompt);
    emit customSystemPromptChanged();
}

bool AppSettings::hasRegisteredLoginItem() const { return m_store.value(hasRegisteredLoginItemKey, false).toBool(); }

void AppSettings::setHasRegisteredLoginItem(bool registered) { writeNow(hasRegisteredLoginItemKey, registered); }

bool AppSettings::hasCompletedOnboarding() const { return m_store.value(hasCompletedOnboardingKey, false).toBool(); }

void AppSettings::setHasCompletedOnboarding(bool completed) { writeNow(hasCompletedOnboardingKey, completed); }

bool AppSettings::hasToldOfNoTray() const { return m_store.value(hasToldOfNoTrayKey, false).toBool(); }

void AppSettings::setHasToldOfNoTray(bool told) { writeNow(hasToldOfNoTrayKey, told); }

QString AppSettings::serviceURL() const { return m_store.value(serviceURLKey).toString(); }

QString AppSettings::serviceToken() const { return m_store.value(serviceTokenKey).toString(); }

void AppSettings::setServiceURL(const QString& url) { writeNow(serviceURLKey, url.isEmpty() ? QVariant() : url); }

void AppSettings::setServiceToken(const QString& token)
{
    writeNow(serviceTokenKey, token.isEmpty() ? QVariant() : token);
    if (!token.isEmpty())
        keepToUser();
}

void AppSettings::keepToUser()
{
    QFile::setPermissions(m_store.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QDateTime AppSettings::lastUpdateCheck() const { return m_store.value(lastUpdateCheckKey).toDateTime(); }

void AppSettings::setLastUpdateCheck(const QDateTime& when) { writeNow(lastUpdateCheckKey, when.toUTC()); }

QString AppSettings::hotkey(const char* name) const
{
    return m_store.value(QLatin1String("hotkeys/") + QLatin1String(name)).toString();
}

void AppSettings::setHotkey(const char* name, const QString& portableText)
{
    const QByteArray key = QByteArrayLiteral("hotkeys/") + name;
    writeNow(key.constData(), portableText.isEmpty() ? QVariant() : portableText);
}

void AppSettings::writeNow(const char* key, const QVariant& value)
{
    if (value.isValid())
        m_store.setValue(QLatin1String(key), value);
    else
        m_store.remove(QLatin1String(key));
    m_store.sync();
    if (m_store.status() == QSettings::NoError || m_cannotSave)
        return;
    m_cannotSave = true;
    std::printf("[AppSettings] cannot write %s\n", qPrintable(m_store.fileName()));
    std::fflush(stdout);
    emit cannotSaveChanged();
}
