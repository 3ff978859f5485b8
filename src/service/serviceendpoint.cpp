#include "service/serviceendpoint.h"

#include <QHostAddress>

namespace {

bool isThisComputer(const QString& host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

} // namespace

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

ServiceEndpoint resolveServiceEndpoint(
    const QString& urlSetting, const QString& tokenSetting, const QUrl& builtInUrl, const QByteArray& builtInToken)
{
    ServiceEndpoint endpoint;
    endpoint.url = urlSetting.trimmed().isEmpty() ? builtInUrl : QUrl(urlSetting.trimmed(), QUrl::StrictMode);
    endpoint.token = tokenSetting.trimmed().isEmpty() ? builtInToken : tokenSetting.trimmed().toUtf8();
    endpoint.problem = serviceUrlProblem(endpoint.url);
    if (!endpoint.problem.isEmpty() && !urlSetting.trimmed().isEmpty())
        endpoint.problem += QStringLiteral(" (setting serviceURL)");
    return endpoint;
}
