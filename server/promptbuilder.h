#pragma once

#include "wire/wirerecords.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// Turns a request from Quillora into the messages of a Chat Completions request: a system prompt of our own
// fitted to the kind of application the text comes from, its name and window title as context, and the
// user's own instructions; then the user turn (or, for a follow-up, the conversation as Quillora sent it).
namespace PromptBuilder {

QString systemPrompt(const RequestCommon& common);
QJsonArray messages(const ExplainRequest& request);
// The whole request body for POST {base}/chat/completions; stream asks for the answer piece by piece.
QByteArray chatCompletionsBody(const ExplainRequest& request, const QString& model, bool stream = false);

// What kind of request this is, for the log: "text", "image" or "follow-up".
const char* kindName(const ExplainRequest& request);

} // namespace PromptBuilder
