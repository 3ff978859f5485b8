#include "service/quilloraapiclient.h"

#include "app/serviceconfig.h"
#include "settings/appsettings.h"

#include <QCoroNetworkReply>
#include <QNetworkReply>
#include <QPointer>
#include <QStringDecoder>

#include <cstdio>
#include <memory>

namespace {

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const { reply->deleteLater(); }
};

QString utf8OrNoBody(const QByteArray& body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(body);
    return decoder.hasError() ? QStringLiteral("(no body)") : text;
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

QuilloraAPIClient* QuilloraAPIClient::createDefault(QObject* parent)
{
    ServiceEndpoint endpoint = configuredServiceEndpoint();
    if (!endpoint.problem.isEmpty()) {
        // The start-up check refused it already; one edited since then falls back to the built-in service.
        std::printf("[QuilloraAPIClient] %s; using the built-in service\n", qPrintable(endpoint.problem));
        endpoint = resolveServiceEndpoint({}, {});
    }
    return new QuilloraAPIClient(std::move(endpoint.url), std::move(endpoint.token),
        QSslConfiguration::defaultConfiguration(), parent);
}

RequestCommon QuilloraAPIClient::commonFields(QString customSystemPrompt, std::optional<AppContext> appContext) const
{
    RequestCommon common;
    if (!customSystemPrompt.isEmpty())
        common.customSystemPrompt = std::move(customSystemPrompt);
    common.appContext = std::move(appContext);
    common.userId = m_userId.isEmpty() ? AppSettings::shared().userId() : m_userId;
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
    request.setTransferTimeout(int(m_timeout.count()));
    request.setSslConfiguration(m_tls);

    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(m_network.post(request, body));
    body.clear();

    // Refuse a body that would not fit in memory sensibly, as soon as its size shows.
    bool tooLarge = false;
    auto checkSize = [&tooLarge, replyPtr = reply.get()] {
        const qint64 announced = replyPtr->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (!tooLarge && (announced > maximumResponseSize || replyPtr->bytesAvailable() > maximumResponseSize)) {
            tooLarge = true;
            replyPtr->abort();
        }
    };
    connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), checkSize);
    connect(reply.get(), &QNetworkReply::readyRead, reply.get(), checkSize);
    connect(reply.get(), &QNetworkReply::encrypted, this, &QuilloraAPIClient::tlsHandshakeCompleted);

    QPointer<QuilloraAPIClient> self(this);
    co_await qCoro(reply.get()).waitForFinished();
    if (!self)
        co_return ExplanationResult::failure(APIError::transport(QStringLiteral("The request was cancelled.")));

    if (tooLarge)
        co_return ExplanationResult::failure(APIError::responseTooLarge());

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        switch (reply->error()) {
        // Qt drops a connection whose answer does not start with an HTTP status line: the peer did not
        // speak HTTP, as far as the user is concerned.
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::NoError:
        case QNetworkReply::ProtocolFailure:
        case QNetworkReply::UnknownContentError:
            co_return ExplanationResult::failure(APIError::invalidResponse());
        case QNetworkReply::OperationCanceledError:
            // Nothing else aborts our requests: this is the transfer time-out.
            co_return ExplanationResult::failure(APIError::transport(QStringLiteral("The request timed out.")));
        default:
            co_return ExplanationResult::failure(APIError::transport(reply->errorString()));
        }
    }

    const int statusCode = status.toInt();
    const QByteArray data = reply->readAll();
    if (statusCode < 200 || statusCode > 299)
        co_return ExplanationResult::failure(APIError::httpError(statusCode, utf8OrNoBody(data)));

    QString decodingError;
    if (auto response = QuilloraResponse::fromJson(data, &decodingError))
        co_return ExplanationResult::success(std::move(response->explanation));
    co_return ExplanationResult::failure(APIError::decoding(decodingError));
}
