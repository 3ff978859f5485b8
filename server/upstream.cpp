#include "upstream.h"

#include "promptbuilder.h"
#include "wire/eventstream.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using Clock = std::chrono::steady_clock;

// One event of the model's stream: a few hundred bytes, or a long piece of text at most.
constexpr qsizetype maxModelEventBytes = 1024 * 1024;

// A kept connection whose server has closed it, or sent what nobody asked for, is not used again.
bool looksClosed(tcp::socket& socket)
{
    boost::system::error_code error;
    socket.non_blocking(true, error);
    char byte = 0;
    socket.read_some(asio::buffer(&byte, 1), error);
    const bool open = error == asio::error::would_block;
    socket.non_blocking(false, error);
    return !open;
}

} // namespace

struct Upstream::Connection {
    std::optional<beast::tcp_stream> plain;
    std::optional<beast::ssl_stream<beast::tcp_stream>> tls;
    beast::flat_buffer buffer;
    Clock::time_point idleSince;

    beast::tcp_stream& lowest() { return tls ? beast::get_lowest_layer(*tls) : *plain; }
};

Upstream::Upstream(const ServiceOptions& options)
    : m_display(options.upstreamForDisplay())
    , m_isDefault(options.upstreamIsDefault())
    , m_timeout(options.upstreamTimeout)
    , m_model(options.model)
{
    const QUrl& url = options.upstreamUrl;
    const bool https = url.scheme() == QLatin1String("https");
    m_host = url.host().toStdString();
    const int port = url.port(https ? 443 : 80);
    m_port = std::to_string(port);
    m_hostHeader = m_host.find(':') == std::string::npos ? m_host : '[' + m_host + ']';
    if (port != (https ? 443 : 80))
        m_hostHeader += ':' + m_port;
    m_basePath = url.path(QUrl::FullyEncoded).toStdString();
    if (!options.upstreamKey.isEmpty())
        m_authorization = "Bearer " + options.upstreamKey.toStdString();
    if (https) {
        m_tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        m_tls->set_default_verify_paths();
        m_tls->set_verify_mode(asio::ssl::verify_peer);
    }
}

Upstream::~Upstream() = default;

std::unique_ptr<Upstream::Connection> Upstream::takeIdle()
{
    while (!m_idle.empty()) {
        std::unique_ptr<Connection> connection = std::move(m_idle.back());
        m_idle.pop_back();
        if (Clock::now() - connection->idleSince < maxIdleTime && !looksClosed(connection->lowest().socket()))
            return connection;
    }
    return nullptr;
}

void Upstream::keepIdle(std::unique_ptr<Connection> connection)
{
    if (m_idle.size() >= maxIdleConnections)
        m_idle.erase(m_idle.begin()); // the one unused longest
    connection->idleSince = Clock::now();
    m_idle.push_back(std::move(connection));
}

asio::awaitable<std::unique_ptr<Upstream::Connection>> Upstream::connect(
    Clock::time_point deadline, boost::system::error_code& error)
{
    const auto executor = co_await asio::this_coro::executor;
    // Name resolution runs on Asio's resolver thread; the deadline cancels it like any other step.
    tcp::resolver resolver(executor);
    asio::steady_timer resolveDeadline(executor, deadline);
    resolveDeadline.async_wait([&resolver](const boost::system::error_code& cancelled) {
        if (!cancelled)
            resolver.cancel();
    });
    const auto endpoints
        = co_await resolver.async_resolve(m_host, m_port, asio::redirect_error(asio::use_awaitable, error));
    resolveDeadline.cancel();
    if (error == asio::error::operation_aborted)
        error = beast::error::timeout;
    if (error)
        co_return nullptr;

    auto connection = std::make_unique<Connection>();
    if (m_tls) {
        auto& stream = connection->tls.emplace(executor, *m_tls);
        if (!SSL_set_tlsext_host_name(stream.native_handle(), m_host.c_str())) {
            error = { int(::ERR_get_error()), asio::error::get_ssl_category() };
            co_return nullptr;
        }
        stream.set_verify_callback(asio::ssl::host_name_verification(m_host));
    } else {
        connection->plain.emplace(executor);
    }
    beast::tcp_stream& lowest = connection->lowest();
    lowest.expires_at(deadline);
    co_await lowest.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, error));
    if (!error && connection->tls)
        co_await connection->tls->async_handshake(
            asio::ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, error));
    if (error)
        co_return nullptr;
    lowest.socket().set_option(tcp::no_delay(true), error);
    error = {};
    co_return connection;
}

template <class Stream>
asio::awaitable<Upstream::Exchange> Upstream::talk(Stream& stream, Connection& connection,
    http::request<http::string_body>& request, Clock::time_point deadline, AnswerStream* answerStream)
{
    Exchange result;
    auto& error = result.error;
    beast::tcp_stream& lowest = connection.lowest();
    lowest.expires_at(deadline);
    co_await http::async_write(stream, request, asio::redirect_error(asio::use_awaitable, error));
    if (error)
        co_return result;
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(maxAnswerBytes);
    co_await http::async_read_header(stream, connection.buffer, parser, asio::redirect_error(asio::use_awaitable, error));
    if (error)
        co_return result;
    result.answered = true;
    result.status = int(parser.get().result_int());
    result.streamed = answerStream && result.status >= 200 && result.status <= 299
        && std::string_view(parser.get()[http::field::content_type]).starts_with("text/event-stream");

    EventStreamParser events(maxModelEventBytes);
    QList<EventStreamParser::Event> arrived;
    std::array<char, 16 * 1024> chunk {};
    while (!parser.is_done()) {
        if (result.streamed)
            lowest.expires_after(m_timeout); // the longest silence between two pieces
        parser.get().body().data = chunk.data();
        parser.get().body().size = chunk.size();
        co_await http::async_read_some(
            stream, connection.buffer, parser, asio::redirect_error(asio::use_awaitable, error));
        if (error == http::error::need_buffer)
            error = {};
        if (error)
            co_return result;
        const std::size_t size = chunk.size() - parser.get().body().size;
        if (!result.streamed) {
            result.body.append(chunk.data(), size);
            continue;
        }
        arrived.clear();
        if (!events.feed(QByteArrayView(chunk.data(), qsizetype(size)), &arrived)) {
            result.failedMidway = true;
            co_return result;
        }
        // Every piece that came in this read goes on as one, so a flood of tiny pieces costs one write per read.
        QString text;
        for (const EventStreamParser::Event& event : std::as_const(arrived)) {
            if (event.data == "[DONE]")
                continue;
            const QJsonDocument piece = QJsonDocument::fromJson(event.data);
            const QJsonValue delta = piece[QLatin1String("choices")][0][QLatin1String("delta")][QLatin1String("content")];
            if (!piece.isObject() || piece.object().contains(QLatin1String("error"))
                || !(delta.isString() || delta.isUndefined() || delta.isNull())) {
                result.failedMidway = true;
                co_return result;
            }
            text += delta.toString();
        }
        if (text.isEmpty())
            continue;
        result.text += text;
        if (!co_await answerStream->write(text)) {
            result.abandoned = true;
            co_return result;
        }
    }
    result.keepAlive = parser.get().keep_alive();
    co_return result;
}

asio::awaitable<Upstream::Exchange> Upstream::exchange(
    http::verb verb, std::string path, std::string body, AnswerStream* stream)
{
    const auto deadline = Clock::now() + m_timeout;
    http::request<http::string_body> request { verb, m_basePath + path, 11 };
    request.set(http::field::host, m_hostHeader);
    request.set(http::field::user_agent, "quillora-service");
    request.set(http::field::accept, stream ? "text/event-stream" : "application/json");
    if (!m_authorization.empty())
        request.set(http::field::authorization, m_authorization);
    if (verb == http::verb::post) {
        request.set(http::field::content_type, "application/json");
        request.body() = std::move(body);
    }
    request.prepare_payload();

    for (;;) {
        Exchange result;
        std::unique_ptr<Connection> connection = takeIdle();
        const bool kept = connection != nullptr;
        if (!connection)
            connection = co_await connect(deadline, result.error);
        if (!connection)
            co_return result;
        if (connection->tls)
            result = co_await talk(*connection->tls, *connection, request, deadline, stream);
        else
            result = co_await talk(*connection->plain, *connection, request, deadline, stream);
        // A kept connection closed by the server before its answer began: once more, on a new one.
        if (result.error && kept && !result.answered && result.error != beast::error::timeout)
            continue;
        if (!result.error && result.keepAlive && !result.failedMidway && !result.abandoned)
            keepIdle(std::move(connection));
        co_return result;
    }
}

UpstreamAnswer Upstream::transportFailure(const boost::system::error_code& error) const
{
    if (error == beast::error::timeout)
        return { 504,
            QStringLiteral("The language model at %1 did not answer within %2 seconds.")
                .arg(m_display)
                .arg(std::chrono::duration_cast<std::chrono::seconds>(m_timeout).count()),
            "timeout" };
    if (error == http::error::body_limit)
        return { 502,
            QStringLiteral("The language model at %1 sent an answer larger than %2 MiB.")
                .arg(m_display)
                .arg(maxAnswerBytes / (1024 * 1024)),
            "unreadable" };
    QString reason;
    if (error == asio::error::connection_refused)
        reason = QStringLiteral("connection refused");
    else if (error == asio::error::host_not_found || error == asio::error::host_not_found_try_again)
        reason = QStringLiteral("its host name is unknown");
    else if (error.category() == asio::error::get_ssl_category())
        reason = QStringLiteral("the secure connection failed (%1)").arg(QString::fromStdString(error.message()));
    else
        reason = QString::fromStdString(error.message()).toLower();
    const QString advice = m_isDefault ? QStringLiteral("Start Ollama or pass --upstream-url.")
                                       : QStringLiteral("Check that it runs, or pass another --upstream-url.");
    return { 502,
        QStringLiteral("The language model at %1 could not be reached: %2. %3").arg(m_display, reason, advice),
        "unreachable" };
}

UpstreamAnswer Upstream::statusFailure(int status) const
{
    if (status == 401 || status == 403)
        return { 502,
            QStringLiteral("The language model at %1 refused the service's key (status %2); set "
                           "QUILLORA_UPSTREAM_KEY for the service.")
                .arg(m_display)
                .arg(status),
            "key-refused" };
    if (status == 404)
        return { 502,
            QStringLiteral("The language model at %1 answered 404; check --upstream-url and the model \"%2\".")
                .arg(m_display, m_model),
            "failed" };
    if (status == 429)
        return { 503,
            QStringLiteral("The language model at %1 is over its rate limit; try again in a moment.").arg(m_display),
            "rate-limited" };
    return { 502, QStringLiteral("The language model at %1 failed with status %2.").arg(m_display).arg(status),
        "failed" };
}

UpstreamAnswer Upstream::unreadable() const
{
    return { 502, QStringLiteral("The language model at %1 sent an answer the service could not read.").arg(m_display),
        "unreadable" };
}

asio::awaitable<UpstreamAnswer> Upstream::ensureModel()
{
    if (!m_model.isEmpty())
        co_return UpstreamAnswer { 200, m_model };
    const Exchange reply = co_await exchange(http::verb::get, "/models", {});
    if (reply.error)
        co_return transportFailure(reply.error);
    if (reply.status < 200 || reply.status > 299)
        co_return statusFailure(reply.status);
    const QJsonValue list = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body))[QLatin1String("data")];
    if (!list.isArray())
        co_return unreadable();
    const QString first = list.toArray().isEmpty() ? QString() : list.toArray().first()[QLatin1String("id")].toString();
    if (first.isEmpty())
        co_return UpstreamAnswer { 502,
            QStringLiteral("The language model at %1 lists no models; install one or pass --model.").arg(m_display),
            "failed" };
    if (m_model.isEmpty()) // another request may have found it meanwhile
        m_model = first;
    co_return UpstreamAnswer { 200, m_model };
}

asio::awaitable<UpstreamAnswer> Upstream::explain(const ExplainRequest& request, AnswerStream* stream)
{
    if (m_model.isEmpty()) {
        UpstreamAnswer found = co_await ensureModel();
        if (found.status != 200)
            co_return found;
    }
    std::string body = PromptBuilder::chatCompletionsBody(request, m_model, stream != nullptr).toStdString();
    const Exchange reply = co_await exchange(http::verb::post, "/chat/completions", std::move(body), stream);
    if (reply.abandoned)
        co_return UpstreamAnswer { 499, {}, "client-left" };
    if (reply.failedMidway)
        co_return UpstreamAnswer { 502,
            QStringLiteral("The language model at %1 failed in the middle of its answer.").arg(m_display),
            "failed" };
    if (reply.error)
        co_return transportFailure(reply.error);
    if (reply.status < 200 || reply.status > 299)
        co_return statusFailure(reply.status);
    if (reply.streamed)
        co_return UpstreamAnswer { 200, reply.text };
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body));
    const QJsonValue content
        = document[QLatin1String("choices")][0][QLatin1String("message")][QLatin1String("content")];
    if (!content.isString())
        co_return unreadable();
    co_return UpstreamAnswer { 200, content.toString() };
}
