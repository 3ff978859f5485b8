#include "guards.h"

#include "serviceoptions.h"

#include <QCryptographicHash>

namespace {

QByteArray digest(const QByteArray& token) { return QCryptographicHash::hash(token, QCryptographicHash::Sha256); }

} // namespace

AccessTokens::AccessTokens(const QList<QByteArray>& tokens)
{
    for (const QByteArray& token : tokens)
        m_digests.append(digest(token));
}

bool AccessTokens::accepts(const QByteArray& token) const
{
    const QByteArray offered = digest(token);
    unsigned matches = 0;
    for (const QByteArray& accepted : m_digests) {
        unsigned char difference = 0;
        for (qsizetype i = 0; i < offered.size(); ++i)
            difference |= static_cast<unsigned char>(offered[i] ^ accepted[i]);
        matches |= unsigned(difference == 0);
    }
    return matches != 0;
}

RateLimiter::RateLimiter(int perMinute)
    : m_perMinute(perMinute)
{
}

bool RateLimiter::allow(const std::string& key, Clock::time_point now)
{
    if (m_perMinute <= 0)
        return true;
    forgetIdle(now);
    const auto [it, inserted] = m_buckets.try_emplace(key, Bucket { double(m_perMinute), now });
    Bucket& bucket = it->second;
    if (!inserted) {
        const double minutes = std::chrono::duration<double, std::ratio<60>>(now - bucket.updated).count();
        bucket.tokens = std::min(double(m_perMinute), bucket.tokens + minutes * m_perMinute);
        bucket.updated = now;
    }
    if (bucket.tokens < 1.0)
        return false;
    bucket.tokens -= 1.0;
    return true;
}

void RateLimiter::forgetIdle(Clock::time_point now)
{
    // A bucket untouched for a minute is full again: dropping it changes nothing.
    if (now - m_lastSweep < std::chrono::minutes(1))
        return;
    m_lastSweep = now;
    std::erase_if(
        m_buckets, [now](const auto& entry) { return now - entry.second.updated >= std::chrono::minutes(1); });
}

QString fieldLimitProblem(const ExplainRequest& request)
{
    using L = RequestLimits;
    const RequestCommon& common = std::visit([](const auto& r) -> const RequestCommon& { return r.common; }, request);
    if (common.customSystemPrompt && common.customSystemPrompt->size() > L::maxPromptChars)
        return QStringLiteral("The custom instructions are longer than %1 characters.").arg(L::maxPromptChars);
    if (common.userId && common.userId->size() > L::maxUserIdChars)
        return QStringLiteral("The user id is longer than %1 characters.").arg(L::maxUserIdChars);
    if (const auto& app = common.appContext; app
        && (app->appName.size() > L::maxContextChars || app->bundleID.size() > L::maxContextChars
            || app->appCategory.size() > L::maxContextChars
            || (app->windowTitle && app->windowTitle->size() > L::maxContextChars)))
        return QStringLiteral("The application details are longer than %1 characters.").arg(L::maxContextChars);

    if (const auto* initial = std::get_if<InitialRequest>(&request)) {
        if (initial->selectedText.size() > L::maxTextChars)
            return QStringLiteral("The text to explain is longer than %1 characters.").arg(L::maxTextChars);
    } else if (const auto* image = std::get_if<ImageRequest>(&request)) {
        if (image->imageData.size() > L::maxImageBytes)
            return QStringLiteral("The image is larger than %1 MiB.").arg(L::maxImageBytes / (1024 * 1024));
    } else {
        const auto& messages = std::get<FollowUpRequest>(request).messages;
        if (messages.size() > L::maxMessages)
            return QStringLiteral("The conversation is longer than %1 messages.").arg(L::maxMessages);
        qsizetype total = 0;
        for (const MessagePayload& message : messages)
            total += message.content.size();
        if (total > L::maxConversationChars)
            return QStringLiteral("The conversation is longer than %1 characters.").arg(L::maxConversationChars);
    }
    return {};
}
