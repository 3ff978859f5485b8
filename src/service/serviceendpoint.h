#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Empty when the URL is usable, otherwise a message saying what is wrong with it. Plain http:// is usable
// only for this computer (a loopback address or localhost): the user's text never crosses a network in clear.
QString serviceUrlProblem(const QUrl& url);

// Where requests go and with which token. problem is empty when the address is usable.
struct ServiceEndpoint {
    QUrl url;
    QByteArray token;
    QString problem;
};

// The user's settings (serviceURL, serviceToken) where they are not empty, else the values built into the
// program.
ServiceEndpoint resolveServiceEndpoint(
    const QString& urlSetting, const QString& tokenSetting, const QUrl& builtInUrl, const QByteArray& builtInToken);
