#include "service/quilloraapiclient.h"


#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QFuture>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QRegularExpression>
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
    Cancelled, // superseded, or the client went away
};

namespace {

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

// Markup gone, entities for the common characters replaced, white space collapsed.
QString textOfHtml(QString html)
{
    static const QRegularExpression hidden(QStringLiteral("<(script|style|head)\\b.*?</\\1\\s*>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression block(
        QStringLiteral("</?(p|div|h[1-6]|title|br|li|tr|ul|ol|table|pre|hr)\\b[^>]*>"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tag(
        QStringLiteral("<!--.*?-->|<[^>]*>"), QRegularExpression::DotMatchesEverythingOption);
    html.remove(hidden);
    html.replace(block, QStringLiteral("\n"));
    html.replace(tag, QStringLiteral(" "));
    html.replace(QLatin1String("&nbsp;"), QLatin1String(" "))
        .replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&#39;"), QLatin1String("'"))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
    return html;
}

// The first sentence of a text: its first line up to the first full stop, question or exclamation mark that
// ends a word, and never longer than a line or two of the card.
QString firstSentence(const QString& text)
{
    QString simple;
    for (const QStringView line : QStringTokenizer(text, u'\n', Qt::SkipEmptyParts)) {
        simple = line.toString().simplified();
        if (!simple.isEmpty())
            break;
    }
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
// or the text itself; in each case its first sentence. "(no body)" when the body is not UTF-8.
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
            return firstSentence(value.toString());
    }
    const QString start = text.left(64).trimmed();
    if (contentType.toLower().contains("html") || start.startsWith(u'<'))
        return firstSentence(textOfHtml(text));
    return firstSentence(text);
}

ExplanationResult decodeResponse(const QByteArray& data)
{
    QString decodingError;
    if (auto response = QuilloraResponse::fromJson(data, &decodingError))
        return ExplanationResult::success(std::move(response->explanation));
    return ExplanationResult::failure(APIError::decoding(decodingError));
}

QFuture<ExplanationResult> decodeOnWorker(QByteArrayList parts)
{
    auto promise = std::make_shared<QPromise<ExplanationResult>>();
    QFuture<ExplanationResult> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, parts = std::move(parts)]() mutable {
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

} // namespace

QuilloraAPIClient::QuilloraAPIClient(QUrl workerURL, QByteArray token, QSslConfiguration tls, QObject* parent)
    : QObject(parent)
    , m_workerURL(std::move(workerURL))
    , m_authorization("Bearer " + token)
    , m_tls(std::move(tls))
{
    // One manager per client keeps the TLS connection alive between requests.
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
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

QCoro::Task<ExplanationResult> QuilloraAPIClient::explain(
    QString text, QString customSystemPrompt, std::optional<AppContext> appContext)
{
    InitialRequest request { std::move(text), commonFields(std::move(customSystemPrompt), std::move(appContext)) };
    return post(request.toJson());
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::explainImage(
    QByteArray imageData, QString customSystemPrompt, std::optional<AppContext> appContext)
{
    ImageRequest request;
    request.imageData = std::move(imageData);
    request.common = commonFields(std::move(customSystemPrompt), std::move(appContext));
    return post(request.toJson());
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::followUp(
    ConversationHistory messages, QString customSystemPrompt, std::optional<AppContext> appContext)
{
    FollowUpRequest request;
    request.messages.reserve(messages.size());
    for (const ConversationMessage& message : messages)
        request.messages.append(MessagePayload::from(message));
    request.common = commonFields(std::move(customSystemPrompt), std::move(appContext));
    return post(request.toJson());
}

QCoro::Task<ExplanationResult> QuilloraAPIClient::post(QByteArray body)
{
    QNetworkRequest request(m_workerURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader(QByteArrayLiteral("Authorization"), m_authorization);
    request.setSslConfiguration(m_tls);
    // Uncompressed: an answer is text of modest size, and the size limit then counts what actually arrives
    // (no decompression to blow up, nor a decompressor's own refusal to explain).
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));

    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(m_network.post(request, body));
    body.clear();
    QNetworkReply* const replyPtr = reply.get();
    // Qt reads no further ahead of us than this, so a peer cannot fill memory faster than we look at it.
    replyPtr->setReadBufferSize(256 * 1024);

    Ending ending = Ending::Running;
    m_inFlight.insert(replyPtr, &ending);
    auto end = [&ending, replyPtr](Ending why) {
        if (ending != Ending::Running)
            return;
        ending = why;
        // Not from inside the reply's own signal: Qt is still busy with it there.
        QMetaObject::invokeMethod(replyPtr, &QNetworkReply::abort, Qt::QueuedConnection);
    };

    // One deadline from sending on, whatever trickles in meanwhile.
    // (Owned by the reply: ending the request may finish this frame from inside the timer's own signal.)
    auto* deadline = new QTimer(replyPtr);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, replyPtr, [&end] { end(Ending::TimedOut); });
    deadline->start(m_timeout);

    // The body is taken as it arrives, in the pieces it comes in (no copying as it grows); the limit applies to
    // the running total (and to what a header announces).
    QByteArrayList received;
    qint64 receivedSize = 0;
    auto limit = [replyPtr] {
        const int status = replyPtr->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 200 && status <= 299 ? maximumResponseSize : maximumErrorBodySize;
    };
    auto checkAnnounced = [&end, replyPtr, limit] {
        if (limit() == maximumResponseSize
            && replyPtr->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maximumResponseSize)
            end(Ending::TooLarge);
    };
    auto take = [&received, &receivedSize, &ending, &end, replyPtr, limit] {
        if (ending != Ending::Running) {
            replyPtr->readAll(); // on its way out: drop it
            return;
        }
        const QByteArray part = replyPtr->readAll();
        if (part.isEmpty())
            return;
        received.append(part);
        receivedSize += part.size();
        const qint64 allowed = limit();
        if (receivedSize > allowed) {
            received.last().chop(receivedSize - allowed);
            receivedSize = allowed;
            end(allowed == maximumResponseSize ? Ending::TooLarge : Ending::ErrorBodyRead);
        }
    };
    connect(replyPtr, &QNetworkReply::metaDataChanged, replyPtr, checkAnnounced);
    connect(replyPtr, &QNetworkReply::readyRead, replyPtr, take);
    connect(replyPtr, &QNetworkReply::encrypted, this, &QuilloraAPIClient::tlsHandshakeCompleted);

    co_await replyPtr;
    // Whatever ended the request, these may not fire again: they refer to this frame.
    disconnect(replyPtr, nullptr, replyPtr, nullptr);
    deadline->stop();
    m_inFlight.remove(replyPtr);
    if (ending == Ending::Running && replyPtr->error() == QNetworkReply::NoError)
        take();

    switch (ending) {
    case Ending::Cancelled:
        co_return ExplanationResult::failure(APIError::transport(QStringLiteral("The request was cancelled.")));
    case Ending::TimedOut:
        co_return ExplanationResult::failure(APIError::transport(QStringLiteral("The request timed out.")));
    case Ending::TooLarge:
        co_return ExplanationResult::failure(APIError::responseTooLarge());
    case Ending::Running:
    case Ending::ErrorBodyRead:
        break;
    }

    const QVariant status = replyPtr->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = replyPtr->error();
    // The transport comes first: a status line followed by a broken body is still a broken transfer.
    const bool success = status.isValid() && status.toInt() >= 200 && status.toInt() <= 299;
    if (ending == Ending::Running && (isTransportFailure(error) || (success && error != QNetworkReply::NoError))) {
        if (!status.isValid()
            && (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::ProtocolFailure))
            // Qt drops a connection whose answer does not start with an HTTP status line: the peer did not
            // speak HTTP, as far as the user is concerned.
            co_return ExplanationResult::failure(APIError::invalidResponse());
        if (error == QNetworkReply::RemoteHostClosedError)
            co_return ExplanationResult::failure(APIError::transport(
                QStringLiteral("The server closed the connection before the answer was complete.")));
        co_return ExplanationResult::failure(APIError::transport(replyPtr->errorString()));
    }
    if (!status.isValid())
        co_return ExplanationResult::failure(APIError::invalidResponse());

    const int statusCode = status.toInt();
    if (statusCode < 200 || statusCode > 299)
        co_return ExplanationResult::failure(APIError::httpError(statusCode,
            shortErrorBody(received.join(), replyPtr->header(QNetworkRequest::ContentTypeHeader).toByteArray())));

    if (receivedSize <= decodeInlineLimit)
        co_return decodeResponse(received.join());
    QPointer<QuilloraAPIClient> self(this);
    ExplanationResult result = co_await decodeOnWorker(std::move(received));
    if (!self)
        co_return ExplanationResult::failure(APIError::transport(QStringLiteral("The request was cancelled.")));
    co_return result;
}
