#include "app/serviceconfig.h"

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
    return {};
}
