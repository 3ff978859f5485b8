#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <cstddef>
#include <optional>

// How one quillora-service instance runs: from its command line and environment (the upstream key and the
// accepted tokens never come from the command line, where other users could read them).
struct ServiceOptions {
    static constexpr quint16 defaultPort = 8787;

    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = defaultPort;
    QUrl upstreamUrl { QStringLiteral("http://127.0.0.1:11434/v1") };
    QString model; // empty: the first model the upstream lists
    QByteArray upstreamKey; // QUILLORA_UPSTREAM_KEY
    QList<QByteArray> tokens; // accepted bearer tokens
    std::chrono::milliseconds upstreamTimeout { 25'000 };
    int maxInFlight = 1024; // requests waiting on the model at once
    int maxConnections = 4096;
    int ratePerAddress = 120; // requests per minute and client address; 0: no limit
    int ratePerUser = 30; // requests per minute and user; 0: no limit

    bool upstreamIsDefault() const;
    // The upstream address as it may be shown to people: without user info or query.
    QString upstreamForDisplay() const;

    // Parses the arguments (argv[0] first). On failure returns nothing and fills *message with what to
    // print; *exitCode is 0 when the message is the requested help or version.
    static std::optional<ServiceOptions> parse(
        const QStringList& arguments, const QByteArray& defaultToken, QString* message, int* exitCode);
};

// Limits on what a request may carry; a request over any of them is refused before the model sees it.
struct RequestLimits {
    static constexpr std::size_t maxBodyBytes = 16 * 1024 * 1024;
    static constexpr qsizetype maxTextChars = 100'000;
    static constexpr qsizetype maxPromptChars = 10'000;
    static constexpr qsizetype maxMessages = 100;
    static constexpr qsizetype maxConversationChars = 400'000;
    static constexpr qsizetype maxImageBytes = 12 * 1024 * 1024;
    static constexpr qsizetype maxContextChars = 1'000;
    static constexpr qsizetype maxUserIdChars = 128;
};
