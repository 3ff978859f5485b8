#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>

// The desktop portal (xdg-desktop-portal) and its calls that answer through a Request object.
namespace Portal {

inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString objectPath = QStringLiteral("/org/freedesktop/portal/desktop");

struct Response {
    enum class Outcome {
        Success, // the portal's response 0
        Cancelled, // 1: the user said no
        Failed, // 2: the portal ended it another way
        Error, // the call itself failed (no portal, no such interface or method)
        NoAnswer, // no response before the deadline
    };
    Outcome outcome = Outcome::NoAnswer;
    QVariantMap results;
    QString error; // for Error, the D-Bus error's message
    bool succeeded() const { return outcome == Outcome::Success; }
    // One short phrase for a log line or a notice.
    QString describe() const;
};

// Calls interface.method on the portal with arguments followed by options (given a fresh handle_token), and
// awaits the Response of the Request it starts, for at most `deadline`. Only the portal's own Response counts.
QCoro::Task<Response> request(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
    QVariantMap options, std::chrono::milliseconds deadline);

// A plain call to the portal, awaited for at most `deadline`: its reply, or an error message.
QCoro::Task<QDBusMessage> call(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
    std::chrono::milliseconds deadline);

// The version of a portal interface the desktop offers, 0 when it has none (or did not say in time).
QCoro::Task<uint> interfaceVersion(QDBusConnection bus, QString interface);

} // namespace Portal
