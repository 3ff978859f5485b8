#pragma once

#include "serviceoptions.h"
#include "wire/wirerecords.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/verb.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// What the service answers after asking the model: the explanation, or a status and one sentence that tells
// the person in front of the card what went wrong and, where there is one, what to do.
struct UpstreamAnswer {
    int status = 200;
    QString text;
    const char* outcome = "ok"; // for the log: ok, unreachable, timeout, key-refused, rate-limited, failed, unreadable
};

// Where a streamed answer's text goes as the model writes it.
class AnswerStream {
public:
    virtual ~AnswerStream() = default;
    // False when nobody listens any more: the model is not asked for the rest.
    virtual boost::asio::awaitable<bool> write(const QString& text) = 0;
};

// The OpenAI-compatible Chat Completions endpoint the explanations come from, on the caller's executor; no
// thread waits on the model. Connections are kept open between requests (most of the cost of a quick answer
// is a new connection otherwise), up to maxIdleConnections; one the model's server has closed meanwhile is
// replaced once, before anything of its answer came back.
class Upstream {
public:
    static constexpr std::size_t maxAnswerBytes = 8 * 1024 * 1024;
    static constexpr std::size_t maxIdleConnections = 64;
    static constexpr std::chrono::seconds maxIdleTime { 30 };

    explicit Upstream(const ServiceOptions& options);
    ~Upstream();

    // With a stream, the model is asked to stream its answer and every piece is written to it as it arrives;
    // the time-out then bounds the wait for each piece, not the whole answer. The answer holds the whole text.
    boost::asio::awaitable<UpstreamAnswer> explain(const ExplainRequest& request, AnswerStream* stream = nullptr);
    // Without a configured model, asks GET {base}/models once for the first one listed and keeps it.
    boost::asio::awaitable<UpstreamAnswer> ensureModel();
    QString model() const { return m_model; }
    std::size_t idleConnections() const { return m_idle.size(); }

private:
    struct Connection;
    struct Exchange {
        boost::system::error_code error;
        bool answered = false; // the status line came back
        bool keepAlive = false;
        int status = 0;
        std::string body; // when not streamed
        bool streamed = false;
        QString text; // the streamed pieces so far
        bool failedMidway = false; // the model's stream said it failed, or held what is no answer
        bool abandoned = false; // the stream's reader left
    };
    boost::asio::awaitable<Exchange> exchange(
        boost::beast::http::verb verb, std::string path, std::string body, AnswerStream* stream = nullptr);
    template <class Stream>
    boost::asio::awaitable<Exchange> talk(Stream& stream, Connection& connection,
        boost::beast::http::request<boost::beast::http::string_body>& request,
        std::chrono::steady_clock::time_point deadline, AnswerStream* answerStream);
    boost::asio::awaitable<std::unique_ptr<Connection>> connect(
        std::chrono::steady_clock::time_point deadline, boost::system::error_code& error);
    std::unique_ptr<Connection> takeIdle();
    void keepIdle(std::unique_ptr<Connection> connection);

    UpstreamAnswer transportFailure(const boost::system::error_code& error) const;
    UpstreamAnswer statusFailure(int status) const;
    UpstreamAnswer unreadable() const;

    QString m_display;
    bool m_isDefault = false;
    std::string m_host;
    std::string m_port;
    std::string m_hostHeader;
    std::string m_basePath;
    std::string m_authorization;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<boost::asio::ssl::context> m_tls; // only for https
    QString m_model;
    std::vector<std::unique_ptr<Connection>> m_idle; // the most recently used last
};
