#include "wire/wirerecords.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QString mustBeText(QLatin1String key) { return QStringLiteral("The field \"%1\" must be text.").arg(key); }

// A required string field; false (with the reason) when it is missing or not a string.
bool readText(const QJsonObject& object, QLatin1String key, QString* out, QString* error)
{
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        *error = value.isUndefined() ? QStringLiteral("The field \"%1\" is missing.").arg(key) : mustBeText(key);
        return false;
    }
    *out = value.toString();
    return true;
}

// An optional string field: absent is fine, present must be a string.
bool readOptionalText(const QJsonObject& object, QLatin1String key, std::optional<QString>* out, QString* error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return true;
    if (!value.isString()) {
        *error = mustBeText(key);
        return false;
    }
    *out = value.toString();
    return true;
}

bool readCommon(const QJsonObject& object, RequestCommon* common, QString* error)
{
    if (!readOptionalText(object, QLatin1String("customSystemPrompt"), &common->customSystemPrompt, error)
        || !readOptionalText(object, QLatin1String("userId"), &common->userId, error))
        return false;
    const QJsonValue context = object.value(QLatin1String("appContext"));
    if (context.isUndefined())
        return true;
    if (!context.isObject()) {
        *error = QStringLiteral("The field \"appContext\" must be an object.");
        return false;
    }
    const QJsonObject contextObject = context.toObject();
    AppContext app;
    if (!readText(contextObject, QLatin1String("appName"), &app.appName, error)
        || !readText(contextObject, QLatin1String("bundleID"), &app.bundleID, error)
        || !readText(contextObject, QLatin1String("appCategory"), &app.appCategory, error)
        || !readOptionalText(contextObject, QLatin1String("windowTitle"), &app.windowTitle, error))
        return false;
    common->appContext = std::move(app);
    return true;
}

bool readMessages(const QJsonValue& value, QList<MessagePayload>* out, QString* error)
{
    if (!value.isArray() || value.toArray().isEmpty()) {
        *error = QStringLiteral("The field \"messages\" must be a list of at least one message.");
        return false;
    }
    const QJsonArray array = value.toArray();
    out->reserve(array.size());
    for (const QJsonValue& element : array) {
        MessagePayload message;
        if (!element.isObject() || !readText(element.toObject(), QLatin1String("role"), &message.role, error)
            || !readText(element.toObject(), QLatin1String("content"), &message.content, error)
            || (message.role != QLatin1String("user") && message.role != QLatin1String("assistant"))) {
            *error = QStringLiteral("Each message must be an object with a role (user or assistant) and a content.");
            return false;
        }
        out->append(std::move(message));
    }
    if (out->constLast().role != QLatin1String("user")) {
        *error = QStringLiteral("The last message must be the user's.");
        return false;
    }
    return true;
}

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

QByteArray QuilloraResponse::toJson() const { return compact({ { QStringLiteral("explanation"), explanation } }); }

std::optional<ExplainRequest> decodeExplainRequest(const QByteArray& body, QString* error)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        *error = QStringLiteral("The request is not a JSON object.");
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const bool hasText = object.contains(QLatin1String("selectedText"));
    const bool hasImage = object.contains(QLatin1String("imageBase64"));
    const bool hasMessages = object.contains(QLatin1String("messages"));
    if (int(hasText) + int(hasImage) + int(hasMessages) != 1) {
        *error = QStringLiteral("The request must carry exactly one of selectedText, imageBase64 or messages.");
        return std::nullopt;
    }

    RequestCommon common;
    if (!readCommon(object, &common, error))
        return std::nullopt;

    if (hasText) {
        InitialRequest request;
        if (!readText(object, QLatin1String("selectedText"), &request.selectedText, error))
            return std::nullopt;
        request.common = std::move(common);
        return request;
    }
    if (hasImage) {
        ImageRequest request;
        QString base64;
        if (!readText(object, QLatin1String("imageBase64"), &base64, error)
            || !readText(object, QLatin1String("mediaType"), &request.mediaType, error))
            return std::nullopt;
        auto decoded = QByteArray::fromBase64Encoding(base64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty()) {
            *error = QStringLiteral("The image is not valid Base64.");
            return std::nullopt;
        }
        request.imageData = std::move(decoded.decoded);
        request.common = std::move(common);
        return request;
    }
    FollowUpRequest request;
    if (!readMessages(object.value(QLatin1String("messages")), &request.messages, error))
        return std::nullopt;
    request.common = std::move(common);
    return request;
}
