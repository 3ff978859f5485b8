#include "settings/servicesettings.h"

#include "settings/appsettings.h"

#include <QPointer>

#include <cstdio>

namespace {

const QString noKeyring
    = QStringLiteral("No keyring answers in this session, so the token is kept in the settings file.");

} // namespace

ServiceSettings::ServiceSettings(AppSettings& settings, SecretStore& keyring, ServiceEndpoint initial, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_keyring(keyring)
    , m_endpoint(std::move(initial))
{
}

bool ServiceSettings::usesBuiltInService() const { return m_settings.serviceURL().trimmed().isEmpty(); }

QString ServiceSettings::teamAddress() const { return m_settings.serviceURL().trimmed(); }

bool ServiceSettings::needsKeyring() const
{
    return !m_settings.serviceToken().trimmed().isEmpty() || !usesBuiltInService();
}

void ServiceSettings::use(QUrl url, QByteArray token)
{
    m_endpoint.url = std::move(url);
    m_endpoint.token
        = token.isEmpty() && m_endpoint.url == m_endpoint.builtInUrl ? m_endpoint.builtInToken : std::move(token);
    emit endpointChanged();
}

void ServiceSettings::keptInFile(const char* why)
{
    m_tokenNote = noKeyring;
    // Once per start, and without the token.
    std::printf("[ServiceSettings] %s; the service token stays in %s\n", why, qPrintable(m_settings.fileName()));
    std::fflush(stdout);
}

QCoro::Task<> ServiceSettings::load()
{
    const QPointer<ServiceSettings> self(this);
    const QByteArray fileToken = m_settings.serviceToken().trimmed().toUtf8();
    QByteArray token = fileToken;
    if (!fileToken.isEmpty()) {
        const SecretStore::Outcome moved = co_await m_keyring.write(tokenName, fileToken, tokenLabel);
        if (!self)
            co_return;
        if (moved == SecretStore::Outcome::Done) {
            m_settings.setServiceToken({});
            std::printf("[ServiceSettings] the service token moved from the settings file to the keyring\n");
            std::fflush(stdout);
        } else {
            // A file from before the keyring may still be readable by others.
            m_settings.keepToUser();
            keptInFile("no keyring took the service token");
        }
    } else if (!usesBuiltInService()) {
        const SecretStore::Read read = co_await m_keyring.read(tokenName);
        if (!self)
            co_return;
        if (read.outcome == SecretStore::Outcome::Done)
            token = read.secret;
        else if (read.outcome != SecretStore::Outcome::NotFound)
            keptInFile("the keyring did not give the service token");
    }
    use(m_endpoint.url, token);
}

QCoro::Task<QString> ServiceSettings::save(QString address, QString token)
{
    const QPointer<ServiceSettings> self(this);
    QUrl url = m_endpoint.builtInUrl;
    if (!address.trimmed().isEmpty()) {
        QString problem;
        url = serviceUrlFromUserInput(address, &problem);
        if (!problem.isEmpty())
            co_return problem;
    }
    const QByteArray secret = url == m_endpoint.builtInUrl ? QByteArray() : token.trimmed().toUtf8();
    SecretStore::Outcome stored = SecretStore::Outcome::Unavailable;
    if (secret.isEmpty())
        stored = co_await m_keyring.remove(tokenName);
    else
        stored = co_await m_keyring.write(tokenName, secret, tokenLabel);
    if (!self)
        co_return QString();
    if (stored == SecretStore::Outcome::Locked)
        co_return QStringLiteral("The keyring stayed locked, so nothing was changed.");
    const bool inKeyring = stored == SecretStore::Outcome::Done;
    m_settings.setServiceToken(inKeyring ? QString() : QString::fromUtf8(secret));
    m_tokenNote = inKeyring || secret.isEmpty() ? QString() : noKeyring;
    m_settings.setServiceURL(url == m_endpoint.builtInUrl ? QString() : url.toString());
    use(url, secret);
    co_return QString();
}
