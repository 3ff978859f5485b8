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
        return message;
    }
    return message;
}
