#include "service/serviceendpoint.h"

#include <QHostAddress>

#include <algorithm>

namespace {

bool isThisComputer(const QString& host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

} // namespace

bool isOnThisComputer(const QUrl& url) { return isThisComputer(url.host()); }

QString serviceUrlProblem(const QUrl& url)
{
    if (url.isEmpty())
        return QStringLiteral("The explanation service address is empty.");
    if (!url.isValid())
        return QStringLiteral("The explanation service address is not a valid URL: %1").arg(url.errorString());
    if (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))
        return QStringLiteral("The explanation service address must be an https:// URL.");
    if (url.host().isEmpty())
        return QStringLiteral("The explanation service address has no host.");
    if (url.scheme() == QLatin1String("http") && !isThisComputer(url.host()))
        return QStringLiteral("The explanation service address must be an https:// URL; http:// is only for a "
                              "service on this computer.");
    return {};
}

QUrl serviceUrlFromUserInput(const QString& typed, QString* problem)
{
    const QString address = typed.trimmed();
    static const QString explainPath = QStringLiteral("/v1/explain");
    *problem = {};
    if (address.isEmpty()) {
        *problem = QStringLiteral("Enter the address of the team's service.");
        return {};
    }
    if (std::any_of(address.cbegin(), address.cend(), [](QChar c) { return c.isSpace(); })) {
        *problem = QStringLiteral("The address cannot contain spaces.");
        return {};
    }
    QUrl url(address.contains(QLatin1String("://")) ? address : QStringLiteral("https://") + address, QUrl::StrictMode);
    if (!url.userInfo().isEmpty()) {
        *problem = QStringLiteral("Put the token in the token field, not in the address.");
        return {};
    }
    if (url.path().isEmpty() || url.path() == QLatin1String("/"))
        url.setPath(explainPath);
    if (*problem = serviceUrlProblem(url); !problem->isEmpty())
        return {};
    if (!url.path().endsWith(explainPath)) {
        *problem = QStringLiteral("The address must end in %1, where the service takes requests.").arg(explainPath);
        return {};
    }
    return url;
}

ServiceEndpoint resolveServiceEndpoint(
    const QString& urlSetting, const QString& tokenSetting, const QUrl& builtInUrl, const QByteArray& builtInToken)
{
    ServiceEndpoint endpoint;
    endpoint.url = urlSetting.trimmed().isEmpty() ? builtInUrl : QUrl(urlSetting.trimmed(), QUrl::StrictMode);
    endpoint.token = tokenSetting.trimmed().isEmpty() ? builtInToken : tokenSetting.trimmed().toUtf8();
    endpoint.problem = serviceUrlProblem(endpoint.url);
    endpoint.builtInUrl = builtInUrl;
    endpoint.builtInToken = builtInToken;
    if (!endpoint.problem.isEmpty() && !urlSetting.trimmed().isEmpty())
        endpoint.problem += QStringLiteral(" (setting serviceURL)");
    return endpoint;
}
