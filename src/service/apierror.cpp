#include "service/apierror.h"

QString APIError::description() const
{
    switch (kind) {
    case Kind::HttpError:
        return QStringLiteral("Server error ") + QString::number(statusCode) + QStringLiteral(": ") + body;
    case Kind::InvalidResponse:
        return QStringLiteral("Invalid response from server.");
    case Kind::ResponseTooLarge:
        return QStringLiteral("The server's response was too large to show.");
    case Kind::Transport:
    case Kind::Decoding:
    case Kind::Moved:
        return message;
    }
    return message;
}

APIError APIError::moved(int statusCode, const QUrl& service, const QUrl& location)
{
    const QString asked = service.toDisplayString(QUrl::RemoveUserInfo);
    const QString message = location.isValid() && !location.isEmpty()
        ? QStringLiteral("The service at %1 moved to %2; update the service address.")
              .arg(asked, location.toDisplayString(QUrl::RemoveUserInfo))
        : QStringLiteral("The service at %1 answered that it moved (%2) but named no new address; check the service "
                         "address.")
              .arg(asked)
              .arg(statusCode);
    return { Kind::Moved, statusCode, {}, message };
}
