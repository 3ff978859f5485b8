#include "wire/conversationmessage.h"

QString messageRoleName(MessageRole role)
{
    return role == MessageRole::User ? QStringLiteral("user") : QStringLiteral("assistant");
}

ConversationMessage ConversationMessage::make(MessageRole role, QString content)
{
    return { QUuid::createUuid(), role, std::move(content) };
}
