#pragma once

#include "platform/secretstore.h"
#include "service/serviceendpoint.h"

#include <QCoroTask>
#include <QObject>

class AppSettings;

// Which explanation service Quillora uses, and its token. The address is in the settings file (none: the service
// built into the program, this computer's quillora-service); the token is in the desktop's keyring, and in the
// settings file only where no keyring answers. Main thread.
class ServiceSettings : public QObject {
    Q_OBJECT

public:
    // The name the token is kept under in the keyring, and the label its manager shows.
    static inline const QString tokenName = QStringLiteral("serviceToken");
    static inline const QString tokenLabel = QStringLiteral("Quillora explanation service token");

    // initial: what the program started with, the built-in service included.
    ServiceSettings(AppSettings& settings, SecretStore& keyring, ServiceEndpoint initial, QObject* parent = nullptr);

    const ServiceEndpoint& endpoint() const { return m_endpoint; }
    bool usesBuiltInService() const;
    // The team's service address as stored, for the settings window.
    QString teamAddress() const;
    // Empty while the token is in the keyring (or there is none); else where it is and why.
    QString tokenNote() const { return m_tokenNote; }

    // Whether load() has to ask the keyring: a token waits in the settings file, or a team's service is set.
    bool needsKeyring() const;
    // At start: a token found in the settings file moves to the keyring (and leaves the file once the keyring
    // holds it); otherwise a team's service's token is read from the keyring. Ends with endpointChanged.
    QCoro::Task<> load();
    // The user's choice in the settings window: an empty address is this computer's service. Empty when it was
    // stored and is in use, else the sentence saying why not (nothing changed then).
    QCoro::Task<QString> save(QString address, QString token);

signals:
    void endpointChanged();

private:
    void use(QUrl url, QByteArray token);
    void keptInFile(const char* why);

    AppSettings& m_settings;
    SecretStore& m_keyring;
    ServiceEndpoint m_endpoint;
    QString m_tokenNote;
};
