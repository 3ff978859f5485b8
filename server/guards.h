#pragma once

#include "wire/wirerecords.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <string>
#include <unordered_map>

// The bearer tokens a service accepts. Each check hashes the offered token and compares it with every
// accepted digest without stopping early, so the time taken says nothing about how much of it was right.
class AccessTokens {
public:
    explicit AccessTokens(const QList<QByteArray>& tokens);
    bool accepts(const QByteArray& token) const;

private:
    QList<QByteArray> m_digests;
};

// A token bucket per key (a client address, a user): up to perMinute requests at once, refilled evenly over
// a minute. Idle full buckets are forgotten, so the table stays as small as the set of recent clients.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimiter(int perMinute);
    // Takes one request from the key's bucket; false when it is empty (or always true without a limit).
    bool allow(const std::string& key, Clock::time_point now = Clock::now());

private:
    struct Bucket {
        double tokens;
        Clock::time_point updated;
    };
    void forgetIdle(Clock::time_point now);

    int m_perMinute;
    std::unordered_map<std::string, Bucket> m_buckets;
    Clock::time_point m_lastSweep {};
};

// Empty when every field of the request is within RequestLimits, else the sentence to answer with.
QString fieldLimitProblem(const ExplainRequest& request);
