#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Empty when the URL is usable, otherwise a message saying what is wrong with it. Plain http:// is usable
// only for this computer (a loopback address or localhost): the user's text never crosses a network in clear.
QString serviceUrlProblem(const QUrl& url);

// Whether the URL's host is this computer (a loopback address or localhost).
bool isOnThisComputer(const QUrl& url);

// The address a user typed for a team's service, made whole: https:// when no scheme is given, /v1/explain
// when no path is. Empty, with *problem saying why, when it cannot be used.
QUrl serviceUrlFromUserInput(const QString& typed, QString* problem);

// Where requests go and with which token. problem is empty when the address is usable.
struct ServiceEndpoint {
    QUrl url;
    QByteArray token {};
    QString problem {};
    // The service built into the program, used where the settings name none.
    QUrl builtInUrl {};
    QByteArray builtInToken {};
};

// The user's settings (serviceURL, serviceToken) where they are not empty, else the values built into the
// program.
ServiceEndpoint resolveServiceEndpoint(
    const QString& urlSetting, const QString& tokenSetting, const QUrl& builtInUrl, const QByteArray& builtInToken);
