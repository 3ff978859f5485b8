#include "service/wirerecords.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

} // namespace

QJsonObject AppContext::toJson() const
{
    QJsonObject object {
        { QStringLiteral("appName"), appName },
        { QStringLiteral("bundleID"), bundleID },
        { QStringLiteral("appCategory"), appCategory },
    };
    if (windowTitle)
        object.insert(QStringLiteral("windowTitle"), *windowTitle);
    return object;
}

void RequestCommon::writeTo(QJsonObject& object) const
{
    if (customSystemPrompt)
        object.insert(QStringLiteral("customSystemPrompt"), *customSystemPrompt);
    if (appContext)
        object.insert(QStringLiteral("appContext"), appContext->toJson());
    if (userId)
        object.insert(QStringLiteral("userId"), *userId);
}

QByteArray InitialRequest::toJson() const
{
    QJsonObject object { { QStringLiteral("selectedText"), selectedText } };
    common.writeTo(object);
    return compact(object);
}

QByteArray ImageRequest::toJson() const
{
    // The image is most of the body. Going through QJsonValue would hold it as UTF-16 and copy it twice
    // more, so the Base64 text (which never needs escaping) is spliced into the encoded small fields.
    QJsonObject rest { { QStringLiteral("mediaType"), mediaType } };
    common.writeTo(rest);
    const QByteArray restJson = compact(rest); // "{...}", never empty

    static constexpr char key[] = "{\"imageBase64\":\"";
    const qsizetype encodedSize = (imageData.size() + 2) / 3 * 4;
    QByteArray body;
    body.reserve(qsizetype(sizeof key) + encodedSize + restJson.size() + 2);
    body.append(key);
    body.append(imageData.toBase64());
    body.append("\",");
    body.append(restJson.constData() + 1, restJson.size() - 1);
    return body;
}

MessagePayload MessagePayload::from(const ConversationMessage& message)
{
    return { messageRoleName(message.role), message.content };
}

QJsonObject MessagePayload::toJson() const
{
    return { { QStringLiteral("role"), role }, { QStringLiteral("content"), content } };
}

QByteArray FollowUpRequest::toJson() const
{
    QJsonArray array;
    for (const MessagePayload& message : messages)
        array.append(message.toJson());
    QJsonObject object { { QStringLiteral("messages"), array } };
    common.writeTo(object);
    return compact(object);
}

std::optional<QuilloraResponse> QuilloraResponse::fromJson(const QByteArray& body, QString* error)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("The data couldn't be read because it isn't in the correct format (%1).")
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("The data couldn't be read because it isn't in the correct format.");
        return std::nullopt;
    }
    const QJsonValue explanation = document.object().value(QStringLiteral("explanation"));
    if (explanation.isUndefined()) {
        *error = QStringLiteral("The data couldn't be read because it is missing the \"explanation\" field.");
        return std::nullopt;
    }
    if (!explanation.isString()) {
        *error = QStringLiteral("The data couldn't be read because \"explanation\" is not text.");
        return std::nullopt;
    }
    return QuilloraResponse { explanation.toString() };
}
