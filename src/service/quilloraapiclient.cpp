#include "service/quilloraapiclient.h"

#include "service/serviceendpoint.h"
#include "wire/eventstream.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QFuture>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QStringDecoder>
#include <QStringTokenizer>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <memory>

enum class QuilloraAPIClient::Ending {
    Running,
    TimedOut, // the overall deadline passed
    TooLarge, // the body grew past the limit
    ErrorBodyRead, // enough of an error body was read; the rest is not wanted
    BadStream, // a streamed answer held an event that is not one
    Cancelled, // superseded, or the client went away
};

namespace {

using namespace Qt::StringLiterals;

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const { reply->deleteLater(); }
};

// Above this size a body is decoded on a worker thread, so a large answer cannot hold up the user interface.
constexpr qsizetype decodeInlineLimit = 256 * 1024;
constexpr qsizetype sentenceLimit = 200;

QString decodeUtf8(const QByteArray& body, bool* ok)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    *ok = !decoder.hasError();
    return text;
}

// Markup gone, script, style and head left out, entities for the common characters replaced. One pass over
// the page, whatever it holds: an error page comes from anywhere, and this runs on the main thread.
// (Not QTextDocument's HTML import: a few KiB of spanning or nested tables take it seconds to minutes and
// hundreds of MiB, and it reads local files that a page's <link> names. Nor regular expressions: repeated
// unclosed tags made them quadratic.)
QString textOfHtml(QStringView html)
{
    static const QStringList hiddenElements { u"script"_s, u"style"_s, u"head"_s };
    static const QStringList blockElements { u"p"_s, u"div"_s, u"h1"_s, u"h2"_s, u"h3"_s, u"h4"_s, u"h5"_s, u"h6"_s,
        u"title"_s, u"br"_s, u"li"_s, u"tr"_s, u"ul"_s, u"ol"_s, u"table"_s, u"pre"_s, u"hr"_s };
    // A search that failed from one place fails from every later one: each is made at most once to the end.
    bool unclosed[3] = {};
    bool commentsUnclosed = false;

    QString text;
    text.reserve(html.size());
    qsizetype at = 0;
    while (at < html.size()) {
        const qsizetype open = html.indexOf(u'<', at);
        text += html.sliced(at, (open < 0 ? html.size() : open) - at);
        if (open < 0)
            break;
        if (!commentsUnclosed && html.sliced(open).startsWith(u"<!--")) {
            const qsizetype end = html.indexOf(u"-->", open + 4);
            if (end >= 0) {
                text += u' ';
                at = end + 3;
                continue;
            }
            commentsUnclosed = true;
        }
        const qsizetype close = html.indexOf(u'>', open);
        if (close < 0) {
            text += html.sliced(open); // no tag ends after this one either
            break;
        }
        const QStringView tag = html.sliced(open + 1, close - open - 1);
        const bool closing = tag.startsWith(u'/');
        qsizetype nameEnd = closing ? 1 : 0;
        while (nameEnd < tag.size() && tag.at(nameEnd).isLetterOrNumber())
            ++nameEnd;
        const QString name = tag.sliced(closing ? 1 : 0, nameEnd - (closing ? 1 : 0)).toString().toLower();
        at = close + 1;
        if (const qsizetype hidden = closing ? -1 : hiddenElements.indexOf(name); hidden >= 0 && !unclosed[hidden]) {
            const qsizetype end = html.indexOf(QStringLiteral("</") + name, at, Qt::CaseInsensitive);
            const qsizetype endClose = end < 0 ? -1 : html.indexOf(u'>', end);
            if (endClose >= 0) {
                at = endClose + 1;
                continue;
            }
            unclosed[hidden] = true;
        }
        text += blockElements.contains(name) ? u'\n' : u' ';
    }
    text.replace(QLatin1String("&nbsp;"), QLatin1String(" "))
        .replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&#39;"), QLatin1String("'"))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

// What the card shows of an error text: its first line, whole when it is short (the advice after the first
// sentence is often what the user needs), else up to the first full stop, question or exclamation mark that
// ends a word; never longer than a line or two of the card.
QString shortError(const QString& text)
{
    QString simple;
    for (const QStringView line : QStringTokenizer(text, u'\n', Qt::SkipEmptyParts)) {
        simple = line.toString().simplified();
        if (!simple.isEmpty())
            break;
    }
    if (simple.size() <= sentenceLimit)
        return simple;
    qsizetype end = simple.size();
    for (qsizetype i = 0; i < simple.size(); ++i) {
        const QChar c = simple.at(i);
        if ((c == u'.' || c == u'!' || c == u'?') && (i + 1 == simple.size() || simple.at(i + 1).isSpace())) {
            end = i + 1;
            break;
        }
    }
    if (end > sentenceLimit)
        return simple.left(sentenceLimit).trimmed() + QChar(0x2026);
    return simple.left(end);
}

// What the user sees of an error body: the `error` or `message` of a JSON object, the text of an HTML page,
// or the text itself; in each case as shortError() shortens it. "(no body)" when the body is not UTF-8.
QString shortErrorBody(const QByteArray& body, const QByteArray& contentType)
{
    bool ok = false;
    const QString text = decodeUtf8(body, &ok);
    if (!ok)
        return QStringLiteral("(no body)");
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    for (const QString& key : { QStringLiteral("error"), QStringLiteral("message") }) {
        QJsonValue value = object.value(key);
        if (value.isObject()) // {"error": {"message": "..."}}
            value = value.toObject().value(QStringLiteral("message"));
        if (value.isString())
            return shortError(value.toString());
    }
    const QString start = text.left(64).trimmed();
    if (contentType.toLower().contains("html") || start.startsWith(u'<'))
        return shortError(textOfHtml(text));
    return shortError(text);
}

ExplanationResult decodeResponse(const QByteArray& data)
{
    QString decodingError;
    if (auto response = QuilloraResponse::fromJson(data, &decodingError))
        return ExplanationResult::success(std::move(response->explanation));
    return ExplanationResult::failure(APIError::decoding(decodingError));
}

QFuture<ExplanationResult> decodeOnWorker(QThreadPool& workers, QByteArrayList parts)
{
    auto promise = std::make_shared<QPromise<ExplanationResult>>();
    QFuture<ExplanationResult> future = promise->future();
    promise->start();
    workers.start([promise, parts = std::move(parts)]() mutable {
        const QByteArray data = parts.join();
        parts.clear();
        promise->addResult(decodeResponse(data));
        promise->finish();
    });
    return future;
}

// Network-layer failures, as opposed to the errors Qt derives from an HTTP status.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        || (error >= QNetworkReply::ProtocolUnknownError && error <= QNetworkReply::ProtocolFailure);
}

ExplanationResult cancelled()
{
    return ExplanationResult::failure(APIError::transport(QStringLiteral("The request was cancelled.")));
}

// Nothing answered at the service's address: which address was tried, and what the user can do about it. A
// first start without the local service running ends here.
QString unreachable(const QUrl& service, QNetworkReply::NetworkError error, const QString& networkWords)
{
    const QString reason = error == QNetworkReply::ConnectionRefusedError ? u"nothing answers there"_s
        : error == QNetworkReply::HostNotFoundError                       ? u"the host name is unknown"_s
                                                                          : networkWords;
    const QString address = service.toDisplayString(QUrl::RemoveUserInfo);
    if (isOnThisComputer(service))
        return u"Quillora could not reach its explanation service at %1 (%2). Start quillora-service, or choose a "
               "team's service in Quillora's settings."_s.arg(address, reason);
    return u"Quillora could not reach the explanation service at %1 (%2). Check the network connection and the "
           "service address in Quillora's settings."_s.arg(address, reason);
}

// A transfer that broke below HTTP, or a body that broke off after a 2xx status line.
std::optional<ExplanationResult> transportFailure(const QNetworkReply& reply)
{
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply.error();
    // The transport comes first: a status line followed by a broken body is still a broken transfer.
    const bool success = status.isValid() && status.toInt() >= 200 && status.toInt() <= 299;
    // Qt names an HTTP 400 with a code of the protocol range: it is the service's answer, with its sentence.
    if (status.isValid() && status.toInt() == 400 && error == QNetworkReply::ProtocolInvalidOperationError)
        return std::nullopt;
    if (!isTransportFailure(error) && !(success && error != QNetworkReply::NoError))
        return std::nullopt;
    if (!status.isValid() && (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::ProtocolFailure))
        // Qt drops a connection whose answer does not start with an HTTP status line: the peer did not
        // speak HTTP, as far as the user is concerned.
        return ExplanationResult::failure(APIError::invalidResponse());
    if (error == QNetworkReply::RemoteHostClosedError)
        return ExplanationResult::failure(
            APIError::transport(QStringLiteral("The server closed the connection before the answer was complete.")));
    if (error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError
        || error == QNetworkReply::UnknownNetworkError)
        return ExplanationResult::failure(APIError::transport(unreachable(reply.url(), error, reply.errorString())));
    return ExplanationResult::failure(APIError::transport(reply.errorString()));
}

QNetworkRequest explanationRequest(
    const QUrl& url, const QByteArray& authorization, const std::optional<QSslConfiguration>& tls, bool streamed)
{
    QNetworkRequest request(url);
    // A service that cannot stream answers with JSON, which is read as ever.
    request.setRawHeader(QByteArrayLiteral("Accept"),
        streamed ? QByteArrayLiteral("text/event-stream, application/json") : QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader(QByteArrayLiteral("Authorization"), authorization);
    if (tls)
        request.setSslConfiguration(*tls);
    // Uncompressed: an answer is text of modest size, and the size limit then counts what actually arrives
    // (no decompression to blow up, nor a decompressor's own refusal to explain).
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    return request;
}

} // namespace

QuilloraAPIClient::QuilloraAPIClient(
    QUrl workerURL, QByteArray token, std::optional<QSslConfiguration> tls, QObject* parent)
    : QObject(parent)
    , m_workerURL(std::move(workerURL))
    , m_authorization("Bearer " + token)
    , m_tls(std::move(tls))
{
    // One manager per client keeps the TLS connection alive between requests.
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // The manager's signal, not each reply's: a connection opened ahead has a reply of Qt's own.
    connect(&m_network, &QNetworkAccessManager::encrypted, this, &QuilloraAPIClient::tlsHandshakeCompleted);
}

void QuilloraAPIClient::connectAhead()
{
    // While the service is still to be set, its address may yet change.
    if (m_held || m_workerURL.host().isEmpty())
        return;
    const bool encrypted = m_workerURL.scheme() == QLatin1String("https");
    const auto port = quint16(m_workerURL.port(encrypted ? 443 : 80));
    if (encrypted) {
        // Offering HTTP/2 as the requests do: Qt keeps a connection for requests of its own kind only.
        QSslConfiguration tls = m_tls.value_or(QSslConfiguration::defaultConfiguration());
        tls.setAllowedNextProtocols({ QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1 });
        m_network.connectToHostEncrypted(m_workerURL.host(), port, tls);
    } else
        m_network.connectToHost(m_workerURL.host(), port);
}

QuilloraAPIClient::~QuilloraAPIClient() { abortAll(); }

void QuilloraAPIClient::abortAll()
{
    // Each abort finishes its request at once, which takes it out of the table: walk a copy.
    const QHash<QNetworkReply*, Ending*> inFlight = m_inFlight;
    for (auto it = inFlight.begin(); it != inFlight.end(); ++it) {
        if (!m_inFlight.contains(it.key()))
            continue;
        *it.value() = Ending::Cancelled;
        it.key()->abort();
    }
}

RequestCommon QuilloraAPIClient::commonFields(QString customSystemPrompt, std::optional<AppContext> appContext) const
{
    RequestCommon common;
    if (!customSystemPrompt.isEmpty())
        common.customSystemPrompt = std::move(customSystemPrompt);
    common.appContext = std::move(appContext);
    common.userId = m_userId;
    return common;
}

void QuilloraAPIClient::setService(QUrl workerURL, QByteArray token)
{
    m_workerURL = std::move(workerURL);
    m_authorization = "Bearer " + token;
    m_held = false;
    emit serviceSet();
}

QCoro::Task<ServiceCheck> QuilloraAPIClient::check()
{
    const QByteArray empty("{}");
    const ExplanationResult result = co_await post(empty, {});
    ServiceCheck check;
    if (result.isSuccess()) {
        check.works = true;
        check.sentence = QStringLiteral("The service answered.");
        co_return check;
    }
    const APIError& error = result.error();
    const int status = error.kind == APIError::Kind::HttpError ? error.statusCode : 0;
    check.works = status == 400;
    if (status == 400)
        check.sentence = QStringLiteral("The service answered and accepts the token.");
    else if (status == 401 || status == 403)
        check.sentence = QStringLiteral("The service answered but refuses the token: %1").arg(error.body);
    else if (status == 404 || status == 405)
        check.sentence
            = QStringLiteral("Something answered at this address, but not a Quillora service (HTTP %1).").arg(status);
    else
        check.sentence = error.description();
    co_return check;
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::explain(
    QString text, QString customSystemPrompt, std::optional<AppContext> appContext, Pieces pieces)
{
    InitialRequest request { std::move(text), commonFields(std::move(customSystemPrompt), std::move(appContext)) };
    return post(request.toJson(), std::move(pieces));
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::explainImage(
    QByteArray imageData, QString customSystemPrompt, std::optional<AppContext> appContext, Pieces pieces)
{
    ImageRequest request;
    request.imageData = std::move(imageData);
    request.common = commonFields(std::move(customSystemPrompt), std::move(appContext));
    return post(request.toJson(), std::move(pieces));
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::followUp(
    ConversationHistory messages, QString customSystemPrompt, std::optional<AppContext> appContext, Pieces pieces)
{
    FollowUpRequest request;
    request.messages.reserve(messages.size());
    for (const ConversationMessage& message : messages)
        request.messages.append(MessagePayload::from(message));
    request.common = commonFields(std::move(customSystemPrompt), std::move(appContext));
    return post(request.toJson(), std::move(pieces));
}

class QuilloraAPIClient::BodyReader {
public:
    BodyReader(QNetworkReply* reply, std::chrono::milliseconds timeout, Pieces pieces)
        : m_reply(reply)
        // Owned by the reply: ending the request may finish the request's frame from inside the timer's signal.
        , m_deadline(new QTimer(reply))
        , m_timeout(timeout)
        , m_pieces(std::move(pieces))
    {
        // One deadline from sending on, whatever trickles in meanwhile (a stream's pieces each start a new one).
        m_deadline->setSingleShot(true);
        QObject::connect(m_deadline, &QTimer::timeout, reply, [this] { end(Ending::TimedOut); });
        m_deadline->start(timeout);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [this] { readHeaders(); });
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [this] { take(); });
    }

    // Once the reply has finished: nothing may refer to this reader any more; the rest of a complete body is taken.
    void finish()
    {
        QObject::disconnect(m_reply, nullptr, m_reply, nullptr);
        m_deadline->stop();
        if (ending == Ending::Running && m_reply->error() == QNetworkReply::NoError)
            take();
    }

    qint64 size() const { return m_size; }
    QByteArray body() const { return m_received.join(); }
    QByteArrayList takePieces() { return std::exchange(m_received, {}); }

    bool isStream() const { return m_events.has_value(); }
    // A stream's last word: its whole answer, or the failure it ended with; none when it broke off.
    std::optional<ExplanationResult> streamEnd() const { return m_streamEnd; }

    Ending ending = Ending::Running;

private:
    void end(Ending why)
    {
        if (ending != Ending::Running)
            return;
        ending = why;
        // Not from inside the reply's own signal: Qt is still busy with it there.
        QMetaObject::invokeMethod(m_reply, &QNetworkReply::abort, Qt::QueuedConnection);
    }

    bool isSuccess() const
    {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 200 && status <= 299;
    }

    qint64 limit() const
    {
        return !isSuccess() ? maximumErrorBodySize : m_events ? maximumStreamSize : maximumResponseSize;
    }

    void readHeaders()
    {
        if (m_pieces && isSuccess()
            && m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray().startsWith("text/event-stream"))
            m_events.emplace(maximumResponseSize);
        if (isSuccess() && m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > limit())
            end(Ending::TooLarge);
    }

    // The body is kept in the pieces it arrives in (no copying as it grows); the limit applies to the running total.
    // A stream's events are handed on as they complete, and only the total is kept of them.
    void take()
    {
        if (ending != Ending::Running) {
            m_reply->readAll(); // on its way out: drop it
            return;
        }
        QByteArray part = m_reply->readAll();
        if (part.isEmpty())
            return;
        m_size += part.size();
        const qint64 allowed = limit();
        if (m_size > allowed) {
            part.chop(m_size - allowed);
            m_size = allowed;
            end(allowed == maximumErrorBodySize ? Ending::ErrorBodyRead : Ending::TooLarge);
        }
        if (!m_events) {
            m_received.append(part);
            return;
        }
        m_deadline->start(m_timeout);
        QList<EventStreamParser::Event> events;
        if (!m_events->feed(part, &events))
            end(Ending::BadStream);
        for (const EventStreamParser::Event& event : std::as_const(events))
            takeEvent(event);
    }

    void takeEvent(const EventStreamParser::Event& event)
    {
        if (ending != Ending::Running || m_streamEnd)
            return;
        const QJsonObject data = QJsonDocument::fromJson(event.data).object();
        if (event.name == "delta") {
            const QJsonValue text = data.value(QLatin1String("text"));
            if (!text.isString())
                return end(Ending::BadStream);
            m_pieces(text.toString()); // may abort this request (a newer one supersedes it)
        } else if (event.name == "done") {
            m_streamEnd = decodeResponse(event.data);
        } else if (event.name == "error") {
            const int status = data.value(QLatin1String("status")).toInt();
            m_streamEnd = ExplanationResult::failure(APIError::httpError(status >= 400 && status <= 599 ? status : 502,
                shortError(data.value(QLatin1String("error")).toString())));
        }
    }

    QNetworkReply* m_reply;
    QTimer* m_deadline;
    std::chrono::milliseconds m_timeout;
    Pieces m_pieces;
    QByteArrayList m_received;
    qint64 m_size = 0;
    std::optional<EventStreamParser> m_events;
    std::optional<ExplanationResult> m_streamEnd;
};

std::optional<ExplanationResult> QuilloraAPIClient::failureOf(const BodyReader& reader, const QNetworkReply& reply)
{
    switch (reader.ending) {
    case Ending::Cancelled:
        return cancelled();
    case Ending::TimedOut:
        return ExplanationResult::failure(APIError::transport(QStringLiteral("The request timed out.")));
    case Ending::TooLarge:
        return ExplanationResult::failure(APIError::responseTooLarge());
    case Ending::BadStream:
        return ExplanationResult::failure(
            APIError::decoding(QStringLiteral("The answer's stream held an unreadable event.")));
    case Ending::Running:
        if (std::optional<ExplanationResult> failure = transportFailure(reply))
            return failure;
        break;
    case Ending::ErrorBodyRead:
        break;
    }
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return ExplanationResult::failure(APIError::invalidResponse());
    const int statusCode = status.toInt();
    if (statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 || statusCode == 308) {
        // Said, never followed: the request and its token go only to the address the user chose.
        // Read raw: Qt's parsed header drops relative addresses. An address too long to show is none.
        const QByteArray named = reply.rawHeader(QByteArrayLiteral("Location")).trimmed();
        const QUrl location
            = named.isEmpty() || named.size() > 2048 ? QUrl() : QUrl::fromEncoded(named, QUrl::StrictMode);
        return ExplanationResult::failure(
            APIError::moved(statusCode, reply.url(), location.isValid() ? reply.url().resolved(location) : QUrl()));
    }
    if (statusCode < 200 || statusCode > 299)
        return ExplanationResult::failure(APIError::httpError(
            statusCode, shortErrorBody(reader.body(), reply.header(QNetworkRequest::ContentTypeHeader).toByteArray())));
    return std::nullopt;
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::post(QByteArray body, Pieces pieces)
{
    if (m_held) {
        const QPointer<QuilloraAPIClient> self(this);
        co_await qCoro(this, &QuilloraAPIClient::serviceSet, serviceWait);
        if (!self)
            co_return cancelled();
        // Waited for once: a keyring that never answered does not hold every later request too.
        m_held = false;
    }
    const bool streamed = bool(pieces);
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(
        m_network.post(explanationRequest(m_workerURL, m_authorization, m_tls, streamed), body));
    body.clear();
    QNetworkReply* const replyPtr = reply.get();
    // Qt reads no further ahead of us than this, so a peer cannot fill memory faster than we look at it.
    replyPtr->setReadBufferSize(256 * 1024);
    BodyReader reader(replyPtr, m_timeout, std::move(pieces));
    m_inFlight.insert(replyPtr, &reader.ending);

    co_await replyPtr;
    reader.finish();
    m_inFlight.remove(replyPtr);

    if (std::optional<ExplanationResult> failure = failureOf(reader, *replyPtr))
        co_return std::move(*failure);
    if (reader.isStream()) {
        if (std::optional<ExplanationResult> end = reader.streamEnd())
            co_return std::move(*end);
        co_return ExplanationResult::failure(
            APIError::transport(QStringLiteral("The answer broke off before its end.")));
    }
    if (reader.size() <= decodeInlineLimit)
        co_return decodeResponse(reader.body());
    QPointer<QuilloraAPIClient> self(this);
    ExplanationResult result = co_await decodeOnWorker(m_decoder, reader.takePieces());
    if (!self)
        co_return cancelled();
    co_return result;
}
