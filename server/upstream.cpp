#include "upstream.h"

#include "promptbuilder.h"

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

template <class Stream>
asio::awaitable<void> talk(Stream& stream, http::request<http::string_body>& request,
    http::response_parser<http::string_body>& parser, boost::system::error_code& error)
{
    co_await http::async_write(stream, request, asio::redirect_error(asio::use_awaitable, error));
    if (error)
        co_return;
    beast::flat_buffer buffer;
    co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, error));
}

} // namespace

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

asio::awaitable<Upstream::Exchange> Upstream::exchange(http::verb verb, std::string path, std::string body)
{
    Exchange result;
    const auto executor = co_await asio::this_coro::executor;
    const auto deadline = std::chrono::steady_clock::now() + m_timeout;

    http::request<http::string_body> request { verb, m_basePath + path, 11 };
    request.set(http::field::host, m_hostHeader);
    request.set(http::field::user_agent, "quillora-service");
    request.set(http::field::accept, "application/json");
    if (!m_authorization.empty())
        request.set(http::field::authorization, m_authorization);
    if (verb == http::verb::post) {
        request.set(http::field::content_type, "application/json");
        request.body() = std::move(body);
    }
    request.prepare_payload();

    // Name resolution runs on Asio's resolver thread; the deadline cancels it like any other step.
    tcp::resolver resolver(executor);
    asio::steady_timer resolveDeadline(executor, deadline);
    resolveDeadline.async_wait([&resolver](const boost::system::error_code& cancelled) {
        if (!cancelled)
            resolver.cancel();
    });
    const auto endpoints
        = co_await resolver.async_resolve(m_host, m_port, asio::redirect_error(asio::use_awaitable, result.error));
    resolveDeadline.cancel();
    if (result.error == asio::error::operation_aborted)
        result.error = beast::error::timeout;
    if (result.error)
        co_return result;

    http::response_parser<http::string_body> parser;
    parser.body_limit(maxAnswerBytes);
    auto& error = result.error;
    if (m_tls) {
        beast::ssl_stream<beast::tcp_stream> stream(executor, *m_tls);
        if (!SSL_set_tlsext_host_name(stream.native_handle(), m_host.c_str())) {
            error = { int(::ERR_get_error()), asio::error::get_ssl_category() };
            co_return result;
        }
        stream.set_verify_callback(asio::ssl::host_name_verification(m_host));
        beast::get_lowest_layer(stream).expires_at(deadline);
        co_await beast::get_lowest_layer(stream).async_connect(
            endpoints, asio::redirect_error(asio::use_awaitable, error));
        if (!error)
            co_await stream.async_handshake(
                asio::ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, error));
        if (!error)
            co_await talk(stream, request, parser, error);
    } else {
        beast::tcp_stream stream(executor);
        stream.expires_at(deadline);
        co_await stream.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, error));
        if (!error)
            co_await talk(stream, request, parser, error);
    }
    if (!error) {
        result.status = int(parser.get().result_int());
        result.body = std::move(parser.get().body());
    }
    co_return result;
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

asio::awaitable<UpstreamAnswer> Upstream::explain(const ExplainRequest& request)
{
    if (m_model.isEmpty()) {
        UpstreamAnswer found = co_await ensureModel();
        if (found.status != 200)
            co_return found;
    }
    const Exchange reply = co_await exchange(
        http::verb::post, "/chat/completions", PromptBuilder::chatCompletionsBody(request, m_model).toStdString());
    if (reply.error)
        co_return transportFailure(reply.error);
    if (reply.status < 200 || reply.status > 299)
        co_return statusFailure(reply.status);
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(reply.body));
    const QJsonValue content
        = document[QLatin1String("choices")][0][QLatin1String("message")][QLatin1String("content")];
    if (!content.isString())
        co_return unreadable();
    co_return UpstreamAnswer { 200, content.toString() };
}
