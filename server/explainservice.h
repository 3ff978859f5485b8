#pragma once

#include "guards.h"
#include "serviceoptions.h"
#include "upstream.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>
#include <string>

// The HTTP side of quillora-service: POST /v1/explain and GET /healthz. Every connection is a coroutine on one
// io_context, so a request waiting on the model costs a little memory and no thread. A client that accepts
// text/event-stream gets the answer as server-sent events while the model writes it (docs/service.md).
class ExplainService {
public:
    ExplainService(boost::asio::io_context& context, const ServiceOptions& options);

    // Binds the listening address and starts serving; false with the reason when the address is unusable.
    bool start(QString* error);
    quint16 port() const;
    // Looks up the model now (when none is configured), so a misconfiguration shows at start.
    void discoverModel();

    struct Reply {
        int status = 200;
        std::string body;
        const char* contentType = "text/plain; charset=utf-8";
        bool streamed = false; // sent already, as events; body is empty
        std::size_t streamedBytes = 0;
    };
    // What the log line of one request says; never any text, answer, image or token.
    struct RequestLog {
        const char* route = "other";
        const char* kind = "-";
        const char* outcome = "-";
        long long upstreamMs = -1;
    };

    class EventStream;

private:
    boost::asio::awaitable<void> acceptConnections();
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);
    // The reply to a request that was read whole; refused: what admit() said about it.
    boost::asio::awaitable<Reply> route(const boost::beast::http::request<boost::beast::http::string_body>& request,
        std::optional<Reply> refused, const std::string& peer, RequestLog& log, EventStream* events);
    // The address limit and the token, checked on the headers alone; a reply when the request is refused.
    std::optional<Reply> admit(const std::string& authorization, const std::string& peer);
    boost::asio::awaitable<Reply> explain(
        const std::string& body, const std::string& authorization, const std::string& peer, RequestLog& log,
        EventStream* events);

    boost::asio::io_context& m_context;
    ServiceOptions m_options;
    boost::asio::ip::tcp::acceptor m_acceptor;
    Upstream m_upstream;
    AccessTokens m_tokens;
    RateLimiter m_perAddress;
    RateLimiter m_perUser;
    int m_connections = 0;
    int m_inFlight = 0;
};

// Writes one line to standard output at once.
void logLine(const std::string& line);
