#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Defined by a file that CMake generates for each executable (quillora_add_service_config), so that
// tests and the end-to-end build can point the same library code at a local stub service.
QUrl compiledServiceUrl();
QByteArray compiledServiceToken();

// Empty when the URL is usable, otherwise a message saying what is wrong with it. Plain http:// is usable
// only for this computer (a loopback address or localhost): the user's text never crosses a network in clear.
QString serviceUrlProblem(const QUrl& url);

// Where requests go and with which token: the user's settings (serviceURL, serviceToken) where they are not
// empty, else the values built in. problem is empty when the address is usable.
struct ServiceEndpoint {
    QUrl url;
    QByteArray token;
    QString problem;
};
ServiceEndpoint resolveServiceEndpoint(const QString& urlSetting, const QString& tokenSetting);
// The same, from AppSettings::shared().
ServiceEndpoint configuredServiceEndpoint();
