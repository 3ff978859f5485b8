#pragma once

#include "wire/conversationmessage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <variant>

// The JSON documents exchanged with the explanation service. Absent optional fields are left out of the
// object entirely (never null); required strings are written even when empty. Bodies are compact JSON.

struct AppContext {
    QString appName;
    QString bundleID;
    QString appCategory;
    std::optional<QString> windowTitle;

    QJsonObject toJson() const;
    bool operator==(const AppContext&) const = default;
};

// The fields every request kind may carry besides its own payload.
struct RequestCommon {
    std::optional<QString> customSystemPrompt;
    std::optional<AppContext> appContext;
    std::optional<QString> userId;

    void writeTo(QJsonObject& object) const;
};

struct InitialRequest {
    QString selectedText;
    RequestCommon common;

    QByteArray toJson() const;
};

struct ImageRequest {
    QByteArray imageData; // the JPEG bytes; sent as standard Base64
    QString mediaType = QStringLiteral("image/jpeg");
    RequestCommon common;

    QByteArray toJson() const;
};

struct MessagePayload {
    QString role;
    QString content;

    static MessagePayload from(const ConversationMessage& message);
    QJsonObject toJson() const;
};

struct FollowUpRequest {
    QList<MessagePayload> messages;
    RequestCommon common;

    QByteArray toJson() const;
};

struct QuilloraResponse {
    QString explanation;

    QByteArray toJson() const;

    // Fails (with a user-readable reason in *error) unless the body is an object with a string "explanation".
    static std::optional<QuilloraResponse> fromJson(const QByteArray& body, QString* error);
};

// The service's side: the three request kinds, told apart only by the body's shape.
using ExplainRequest = std::variant<InitialRequest, ImageRequest, FollowUpRequest>;

// Decodes a request body. Fails (with one sentence for a person in *error) unless the body is an object with
// exactly one of selectedText, imageBase64 or messages and every field present has its type; the image must
// be strict Base64 and a conversation must end with the user's turn.
std::optional<ExplainRequest> decodeExplainRequest(const QByteArray& body, QString* error);
