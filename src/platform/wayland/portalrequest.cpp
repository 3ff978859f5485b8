#include "platform/wayland/portalrequest.h"

#include <QCoroDBus>
#include <QCoroSignal>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QScopeGuard>

#include <optional>

namespace Portal {

namespace {

// Catches the Response of one request, also when it comes before anyone awaits it.
class ResponseCatcher : public QObject {
    Q_OBJECT

public:
    std::optional<Response> caught;

public slots:
    void response(uint code, const QVariantMap& results)
    {
        if (caught)
            return;
        Response answer;
        answer.outcome = code == 0 ? Response::Outcome::Success
            : code == 1            ? Response::Outcome::Cancelled
                                   : Response::Outcome::Failed;
        answer.results = results;
        caught = answer;
        emit answered();
    }

signals:
    void answered();
};

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

QString requestPath(const QDBusConnection& bus, const QString& token)
{
    // The portal names the request after the caller: its unique name without the colon, dots as underscores.
    QString sender = bus.baseService().mid(1);
    sender.replace(u'.', u'_');
    return objectPath + QStringLiteral("/request/") + sender + u'/' + token;
}

} // namespace

QString Response::describe() const
{
    switch (outcome) {
    case Outcome::Success:
        return QStringLiteral("done");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::Failed:
        return QStringLiteral("refused by the desktop");
    case Outcome::Error:
        return error;
    case Outcome::NoAnswer:
        return QStringLiteral("no answer from the desktop's portal");
    }
    return {};
}

QCoro::Task<QDBusMessage> call(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
    std::chrono::milliseconds deadline)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, objectPath, interface, method);
    message.setArguments(arguments);
    // Kept in a variable: the awaiter holds a reference to it across the wait.
    const QDBusPendingCall pending = bus.asyncCall(message, int(deadline.count()));
    co_return co_await pending;
}

QCoro::Task<Response> request(QDBusConnection bus, QString interface, QString method, QVariantList arguments,
    QVariantMap options, std::chrono::milliseconds deadline)
{
    static quint64 requests = 0;
    const QString token = QStringLiteral("quillora%1").arg(++requests);
    ResponseCatcher catcher;
    QString path = requestPath(bus, token);
    const char* slot = SLOT(response(uint, QVariantMap));
    // Listening before the call, as the portal may answer at once.
    bus.connect(service, path, requestInterface, QStringLiteral("Response"), &catcher, slot);
    const auto stopListening
        = qScopeGuard([&] { bus.disconnect(service, path, requestInterface, QStringLiteral("Response"), &catcher, slot); });

    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    const QDBusMessage reply = co_await call(bus, interface, method, arguments, deadline);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        Response failed;
        failed.outcome = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")
            ? Response::Outcome::NoAnswer
            : Response::Outcome::Error;
        failed.error = reply.errorMessage();
        co_return failed;
    }
    // A portal older than handle tokens names the request itself.
    const QString named = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!named.isEmpty() && named != path && !catcher.caught) {
        bus.disconnect(service, path, requestInterface, QStringLiteral("Response"), &catcher, slot);
        path = named;
        bus.connect(service, path, requestInterface, QStringLiteral("Response"), &catcher, slot);
    }
    if (!catcher.caught)
        co_await qCoro(&catcher, &ResponseCatcher::answered, deadline);
    co_return catcher.caught.value_or(Response {});
}

QCoro::Task<uint> interfaceVersion(QDBusConnection bus, QString interface)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, objectPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({ interface, QStringLiteral("version") });
    const QDBusPendingCall pending = bus.asyncCall(get, 2000);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage)
        co_return 0U;
    co_return reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
}

} // namespace Portal

#include "portalrequest.moc"
