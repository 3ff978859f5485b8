#pragma once

#include <QList>
#include <QString>
#include <QUuid>

enum class MessageRole { User, Assistant };

// The wire name of a role: "user" or "assistant".
QString messageRoleName(MessageRole role);

// One turn of a conversation in the popup.
struct ConversationMessage {
    QUuid id;
    MessageRole role = MessageRole::User;
    QString content;

    // A turn with a fresh random id.
    static ConversationMessage make(MessageRole role, QString content);
};

using ConversationHistory = QList<ConversationMessage>;
