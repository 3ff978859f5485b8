#pragma once

#include <QString>
#include <QUrl>

#include <utility>
#include <variant>

// A failed request. description() is the text the user sees in place of the answer.
struct APIError {
    enum class Kind {
        HttpError, // a status outside 200..299
        InvalidResponse, // the reply was not HTTP
        Transport, // connection, TLS, time-out: the network layer's own description
        Decoding, // a 2xx body that is not a valid response
        ResponseTooLarge, // the body exceeded the client's limit and was not read
        Moved, // a redirect, never followed: the token is not handed to another address
    };

    Kind kind = Kind::Transport;
    int statusCode = 0;
    QString body; // HttpError: the body as UTF-8, or "(no body)"
    QString message; // Transport and Decoding: the underlying description

    static APIError httpError(int statusCode, QString body)
    {
        return { Kind::HttpError, statusCode, std::move(body), {} };
    }
    static APIError invalidResponse() { return { Kind::InvalidResponse, 0, {}, {} }; }
    static APIError transport(QString message) { return { Kind::Transport, 0, {}, std::move(message) }; }
    static APIError decoding(QString message) { return { Kind::Decoding, 0, {}, std::move(message) }; }
    static APIError responseTooLarge() { return { Kind::ResponseTooLarge, 0, {}, {} }; }
    // service: the address asked; location: the one the redirect names, resolved (empty when none).
    static APIError moved(int statusCode, const QUrl& service, const QUrl& location);

    QString description() const;
};

// Either the explanation text or the error that replaced it.
class ExplanationResult {
public:
    // Only for containers that need a default value (QCoro::waitFor); holds a failure.
    ExplanationResult()
        : m_value(APIError::transport(QStringLiteral("No result.")))
    {
    }
    static ExplanationResult success(QString explanation) { return ExplanationResult(std::move(explanation)); }
    static ExplanationResult failure(APIError error) { return ExplanationResult(std::move(error)); }

    bool isSuccess() const { return std::holds_alternative<QString>(m_value); }
    const QString& explanation() const { return std::get<QString>(m_value); }
    const APIError& error() const { return std::get<APIError>(m_value); }

private:
    explicit ExplanationResult(std::variant<QString, APIError> value)
        : m_value(std::move(value))
    {
    }
    std::variant<QString, APIError> m_value;
};
