#include "explainservice.h"

#include "promptbuilder.h"

#include "wire/eventstream.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cstdio>
#include <exception>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// A client gets this long to send each whole request (and to take each answer); an idle kept-alive
// connection is closed after it too.
constexpr std::chrono::seconds clientTimeout { 30 };

ExplainService::Reply sentence(int status, const QString& text) { return { status, text.toStdString() }; }

long long millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Keeps a count up for as long as it lives.
struct CountGuard {
    explicit CountGuard(int& count)
        : m_count(count)
    {
        ++m_count;
    }
    ~CountGuard() { --m_count; }
    CountGuard(const CountGuard&) = delete;
    CountGuard& operator=(const CountGuard&) = delete;
    int& m_count;
};

// The answer to a request that could not be read; none when nobody is left to answer (closed, reset or idle).
std::optional<ExplainService::Reply> unreadableRequestReply(const boost::system::error_code& ec)
{
    if (ec == http::error::body_limit)
        return sentence(
            413, QStringLiteral("The request is larger than %1 MiB.").arg(RequestLimits::maxBodyBytes / (1024 * 1024)));
    if (ec.category() == http::make_error_code(http::error::bad_target).category() && ec != http::error::end_of_stream
        && ec != http::error::partial_message)
        return sentence(400, QStringLiteral("The request is not valid HTTP."));
    return std::nullopt;
}

// Sends the reply; the size of the body sent.
asio::awaitable<std::size_t> writeReply(beast::tcp_stream& stream, ExplainService::Reply reply, unsigned version,
    bool keepAlive, boost::system::error_code& ec)
{
    http::response<http::string_body> response { http::status(reply.status), version };
    response.set(http::field::server, "quillora-service");
    response.set(http::field::content_type, reply.contentType);
    response.keep_alive(keepAlive);
    response.body() = std::move(reply.body);
    response.prepare_payload();
    const std::size_t size = response.body().size();
    stream.expires_after(clientTimeout);
    co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
    co_return size;
}

void logRequest(int status, const ExplainService::RequestLog& log, const std::string& peer, std::size_t inBytes,
    std::size_t outBytes, Clock::time_point started)
{
    char line[256];
    std::snprintf(line, sizeof line, "[Service] %d %s %s from=%s in=%zuB out=%zuB upstream=%lldms total=%lldms %s",
        status, log.route, log.kind, peer.c_str(), inBytes, outBytes, log.upstreamMs, millisecondsSince(started),
        log.outcome);
    logLine(line);
}

// Closing with unread bytes (a refused body) would reset the connection and could destroy the answer before the
// client reads it: say we are done, then drop what still arrives for a moment.
asio::awaitable<void> closeAfterLastReply(beast::tcp_stream& stream)
{
    boost::system::error_code ec;
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream.expires_after(std::chrono::seconds(2));
    std::array<char, 16 * 1024> sink {};
    while (!ec)
        co_await stream.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
}

void reportCrash(std::exception_ptr error)
{
    if (!error)
        return;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        logLine(std::string("[Service] a connection ended on an error: ") + e.what());
    }
}

UpstreamAnswer clientLeft() { return { 499, {}, "client-left" }; }

// The data of a stream's last event: the whole answer as a reply at once has it, or the failure's status and
// sentence.
QByteArray lastEvent(const UpstreamAnswer& answer)
{
    if (answer.status == 200)
        return QuilloraResponse { answer.text }.toJson();
    QJsonObject failure;
    failure.insert(QStringLiteral("status"), answer.status);
    failure.insert(QStringLiteral("error"), answer.text);
    return QJsonDocument(failure).toJson(QJsonDocument::Compact);
}

} // namespace

// The answer to a client that asked for events: the status line and headers go out with the first event, so a
// request that fails before the model writes anything is answered as any other (a status and one sentence).
class ExplainService::EventStream final : public AnswerStream {
public:
    EventStream(beast::tcp_stream& stream, beast::flat_buffer& buffer, bool keepAlive)
        : m_stream(stream)
        , m_buffer(buffer)
        , m_keepAlive(keepAlive)
    {
    }

    asio::awaitable<bool> write(const QString& text) override
    {
        // Named, not temporaries of the co_await's expression: GCC 12 destroys those twice.
        QJsonObject piece;
        piece.insert(QStringLiteral("text"), text);
        const QByteArray data = QJsonDocument(piece).toJson(QJsonDocument::Compact);
        co_return co_await send("delta", data);
    }

    asio::awaitable<bool> send(QByteArrayView name, QByteArrayView data)
    {
        if (m_failed)
            co_return false;
        boost::system::error_code ec;
        m_stream.expires_after(clientTimeout);
        if (!m_started) {
            m_started = true;
            http::response<http::empty_body> header { http::status::ok, 11 };
            header.set(http::field::server, "quillora-service");
            header.set(http::field::content_type, "text/event-stream; charset=utf-8");
            header.set(http::field::cache_control, "no-cache");
            header.keep_alive(m_keepAlive);
            header.chunked(true);
            http::response_serializer<http::empty_body> serializer { header };
            co_await http::async_write_header(m_stream, serializer, asio::redirect_error(asio::use_awaitable, ec));
        }
        const QByteArray event = eventStreamEvent(name, data);
        if (!ec)
            co_await asio::async_write(m_stream, http::make_chunk(asio::buffer(event.data(), std::size_t(event.size()))),
                asio::redirect_error(asio::use_awaitable, ec));
        m_bytes += std::size_t(event.size());
        m_failed = bool(ec);
        co_return !m_failed;
    }

    // Ends the events; true when the connection can take another request.
    asio::awaitable<bool> finish()
    {
        boost::system::error_code ec;
        if (!m_failed)
            co_await asio::async_write(m_stream, http::make_chunk_last(), asio::redirect_error(asio::use_awaitable, ec));
        co_return !m_failed && !ec;
    }

    // Ends when the client hangs up (never otherwise). A next request sent meanwhile is kept for the connection.
    asio::awaitable<void> hangUp()
    {
        boost::system::error_code ec;
        while (m_buffer.size() < 64 * 1024) {
            const std::size_t size = co_await m_stream.socket().async_read_some(
                m_buffer.prepare(4096), asio::redirect_error(asio::use_awaitable, ec));
            if (ec)
                co_return;
            m_buffer.commit(size);
        }
        asio::steady_timer never(m_stream.get_executor(), asio::steady_timer::time_point::max());
        co_await never.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }

    bool started() const { return m_started; }
    std::size_t bytes() const { return m_bytes; }

private:
    beast::tcp_stream& m_stream;
    beast::flat_buffer& m_buffer;
    bool m_keepAlive;
    bool m_started = false;
    bool m_failed = false;
    std::size_t m_bytes = 0;
};

void logLine(const std::string& line)
{
    std::string withEnd = line + '\n';
    std::fwrite(withEnd.data(), 1, withEnd.size(), stdout);
    std::fflush(stdout);
}

ExplainService::ExplainService(asio::io_context& context, const ServiceOptions& options)
    : m_context(context)
    , m_options(options)
    , m_acceptor(context)
    , m_upstream(options)
    , m_tokens(options.tokens)
    , m_perAddress(options.ratePerAddress)
    , m_perUser(options.ratePerUser)
{
}

bool ExplainService::start(QString* error)
{
    boost::system::error_code ec;
    const tcp::endpoint endpoint(asio::ip::make_address(m_options.listenHost.toStdString(), ec), m_options.listenPort);
    if (!ec)
        m_acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        m_acceptor.bind(endpoint, ec);
    if (!ec)
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = QStringLiteral("Cannot listen on %1:%2: %3")
                     .arg(m_options.listenHost)
                     .arg(m_options.listenPort)
                     .arg(QString::fromStdString(ec.message()));
        return false;
    }
    asio::co_spawn(m_context, acceptConnections(), reportCrash);
    return true;
}

quint16 ExplainService::port() const { return m_acceptor.local_endpoint().port(); }

void ExplainService::discoverModel()
{
    asio::co_spawn(
        m_context,
        [this]() -> asio::awaitable<void> {
            const UpstreamAnswer found = co_await m_upstream.ensureModel();
            if (found.status == 200)
                logLine("[Service] model " + found.text.toStdString());
            else
                logLine("[Service] no model yet: " + found.text.toStdString());
        },
        reportCrash);
}

asio::awaitable<void> ExplainService::acceptConnections()
{
    for (;;) {
        boost::system::error_code ec;
        tcp::socket socket = co_await m_acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted)
            co_return;
        if (ec) {
            // Out of file descriptors or similar: let connections finish before taking more.
            asio::steady_timer pause(m_context, std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        if (m_connections >= m_options.maxConnections) {
            socket.close(ec);
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        asio::co_spawn(m_context, serve(std::move(socket)), reportCrash);
    }
}

asio::awaitable<void> ExplainService::serve(tcp::socket socket)
{
    CountGuard connection(m_connections);
    boost::system::error_code ec;
    const std::string peer = socket.remote_endpoint(ec).address().to_string();
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;

    for (bool keepAlive = true; keepAlive;) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(16 * 1024);
        parser.body_limit(RequestLimits::maxBodyBytes);
        stream.expires_after(clientTimeout);
        co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
        // Who may send a body is settled before it is read: a stranger cannot make us hold 16 MiB.
        std::optional<Reply> refused;
        if (!ec && parser.get().target() == "/v1/explain" && parser.get().method() == http::verb::post)
            refused = admit(std::string(parser.get()[http::field::authorization]), peer);
        // A small refused body is read and dropped so the connection stays usable; a large one closes it.
        const bool readBody = !refused || parser.content_length().value_or(0) <= 64 * 1024;
        if (!ec && readBody)
            co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
        const Clock::time_point started = Clock::now();

        RequestLog log;
        Reply reply;
        unsigned version = 11;
        if (ec) {
            std::optional<Reply> complaint = unreadableRequestReply(ec);
            if (!complaint)
                co_return;
            reply = std::move(*complaint);
            keepAlive = false;
        } else {
            version = parser.get().version();
            keepAlive = parser.get().keep_alive() && readBody;
            // Events are chunked, which HTTP/1.0 has not: such a client gets the whole answer at once.
            const bool wantsEvents = version == 11
                && std::string_view(parser.get()[http::field::accept]).find("text/event-stream") != std::string_view::npos;
            std::optional<EventStream> events;
            if (wantsEvents)
                events.emplace(stream, buffer, keepAlive);
            reply = co_await route(parser.get(), std::move(refused), peer, log, events ? &*events : nullptr);
            if (reply.streamed) {
                logRequest(reply.status, log, peer, parser.content_length().value_or(0), reply.streamedBytes, started);
                if (!keepAlive || reply.status == 499)
                    break;
                continue;
            }
        }

        const int status = reply.status;
        const std::size_t outBytes = co_await writeReply(stream, std::move(reply), version, keepAlive, ec);
        logRequest(status, log, peer, parser.content_length().value_or(0), outBytes, started);
        if (ec)
            co_return;
    }
    co_await closeAfterLastReply(stream);
}

asio::awaitable<ExplainService::Reply> ExplainService::route(const http::request<http::string_body>& request,
    std::optional<Reply> refused, const std::string& peer, RequestLog& log, EventStream* events)
{
    const std::string_view target = request.target();
    if (target == "/healthz") {
        log.route = "/healthz";
        co_return request.method() == http::verb::get ? Reply { 200, "ok\n" }
                                                      : sentence(405, QStringLiteral("Use GET for /healthz."));
    }
    if (target != "/v1/explain")
        co_return sentence(404, QStringLiteral("There is nothing here; Quillora's requests go to /v1/explain."));
    log.route = "/v1/explain";
    if (request.method() != http::verb::post)
        co_return sentence(405, QStringLiteral("Send explanation requests with POST."));
    if (refused)
        co_return std::move(*refused);
    co_return co_await explain(request.body(), std::string(request[http::field::authorization]), peer, log, events);
}

std::optional<ExplainService::Reply> ExplainService::admit(const std::string& authorization, const std::string& peer)
{
    // The address limit comes first: it also slows down anyone guessing tokens.
    if (!m_perAddress.allow(peer))
        return sentence(429, QStringLiteral("Too many requests from this address; wait a minute and try again."));
    static constexpr std::string_view bearer = "Bearer ";
    if (authorization.empty())
        return sentence(401, QStringLiteral("The request carries no service token."));
    if (!authorization.starts_with(bearer)
        || !m_tokens.accepts(QByteArray::fromStdString(authorization.substr(bearer.size()))))
        return sentence(401, QStringLiteral("The service token is not one this service accepts."));
    return std::nullopt;
}

asio::awaitable<ExplainService::Reply> ExplainService::explain(
    const std::string& body, const std::string& authorization, const std::string& peer, RequestLog& log,
    EventStream* events)
{
    QString problem;
    const std::optional<ExplainRequest> request
        = decodeExplainRequest(QByteArray::fromRawData(body.data(), qsizetype(body.size())), &problem);
    if (!request)
        co_return sentence(400, problem);
    log.kind = PromptBuilder::kindName(*request);
    if (const auto* image = std::get_if<ImageRequest>(&*request);
        image && image->mediaType != QLatin1String("image/jpeg") && image->mediaType != QLatin1String("image/png"))
        co_return sentence(400, QStringLiteral("The image must be a JPEG or PNG picture."));
    if (problem = fieldLimitProblem(*request); !problem.isEmpty())
        co_return sentence(413, problem);

    const RequestCommon& common = std::visit([](const auto& r) -> const RequestCommon& { return r.common; }, *request);
    const std::string user = authorization + '\n' + (common.userId ? common.userId->toStdString() : peer);
    if (!m_perUser.allow(user))
        co_return sentence(429, QStringLiteral("You sent too many requests this minute; wait a moment and try again."));
    if (m_inFlight >= m_options.maxInFlight)
        co_return sentence(503, QStringLiteral("The service is busy with other requests; try again in a moment."));

    const Clock::time_point asked = Clock::now();
    UpstreamAnswer answer;
    {
        CountGuard inFlight(m_inFlight);
        if (events) {
            // A client that hangs up stops the model's answer at once, not at the next piece.
            using namespace asio::experimental::awaitable_operators;
            auto ended = co_await (m_upstream.explain(*request, events) || events->hangUp());
            if (ended.index() == 0)
                answer = std::get<0>(std::move(ended));
            else
                answer = clientLeft();
        } else {
            answer = co_await m_upstream.explain(*request);
        }
    }
    log.upstreamMs = millisecondsSince(asked);
    log.outcome = answer.outcome;
    if (events && (events->started() || answer.status == 200 || answer.status == 499)) {
        // The events end with the whole answer, in the same form as an answer at once, or with what went wrong.
        if (answer.status != 499) {
            const QByteArray last = lastEvent(answer);
            co_await events->send(answer.status == 200 ? "done" : "error", last);
        }
        Reply streamed;
        streamed.status = answer.status;
        streamed.streamed = true;
        if (answer.status == 499 || !co_await events->finish())
            streamed.status = 499;
        streamed.streamedBytes = events->bytes();
        co_return streamed;
    }
    if (answer.status != 200)
        co_return sentence(answer.status, answer.text);
    co_return Reply { 200, QuilloraResponse { answer.text }.toJson().toStdString(), "application/json" };
}
