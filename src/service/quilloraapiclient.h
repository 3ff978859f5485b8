#pragma once

#include "service/apierror.h"
#include "wire/wirerecords.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslConfiguration>
#include <QThreadPool>
#include <QUrl>

#include <QHash>

#include <chrono>
#include <functional>

// What a check of a service address and token found, in one sentence for the user.
struct ServiceCheck {
    bool works = false;
    QString sentence;
};

// Talks to the explanation service: one POST per call, no retry, no cache. (The update checker reads its
// feed through a network manager of its own.)
// Calls run on the thread that owns the client (the main thread); the network wait never blocks it.
class QuilloraAPIClient : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultTimeout { 30'000 };
    // An explanation is a few kilobytes; a reply larger than this is refused (unread, when its length says so).
    static constexpr qint64 maximumResponseSize = 1024 * 1024;
    // Of an error body only the start is read: the user sees a sentence of it at most.
    static constexpr qint64 maximumErrorBodySize = 64 * 1024;
    // A streamed answer comes twice (its pieces, then the whole) with a little wrapping around each piece.
    static constexpr qint64 maximumStreamSize = 3 * maximumResponseSize;

    // Takes the answer's text piece by piece while the service streams it, in order; the result still holds
    // the whole. A service that does not stream calls it never.
    using Pieces = std::function<void(const QString& piece)>;

    // tls: the trust an https:// connection uses, the system's when none is given (looked up at the first
    // request, so a client of a plain http:// service on this computer never loads the TLS library); tests
    // pass one that trusts their own CA. Verification is never off.
    QuilloraAPIClient(QUrl workerURL, QByteArray token, std::optional<QSslConfiguration> tls = std::nullopt,
        QObject* parent = nullptr);
    // Requests still in flight end as cancelled, so nothing waits on them any more.
    ~QuilloraAPIClient() override;

    QUrl workerURL() const { return m_workerURL; }
    QByteArray token() const { return m_authorization.mid(7); }

    // Requests from now on go to this service with this token; those in flight finish where they are. Requests
    // held by holdRequests() go on.
    void setService(QUrl workerURL, QByteArray token);
    // Requests wait for setService() (while the token is read from the keyring), at most serviceWait each.
    static constexpr std::chrono::seconds serviceWait { 10 };
    void holdRequests() { m_held = true; }

    // Opens the connection to the service ahead of a request that is about to be made (a key was pressed), so that
    // the request need not wait for the TCP and TLS handshakes: Qt keeps the connection for it. Sends nothing.
    void connectAhead();

    // Checks the address and the token without asking the model anything: an empty request, which a Quillora
    // service refuses as incomplete once it has accepted the token.
    QCoro::Task<ServiceCheck> check();

    // A request that has not completed this long after it was sent fails, however much trickles in; a streamed
    // one, once its answer has begun, fails only after this long without a piece. Tests shorten it.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Ends every request in flight; each fails as cancelled. For a caller whose newer request supersedes them.
    void abortAll();
    int requestsInFlight() const { return int(m_inFlight.size()); }

    // The identifier sent as userId with every request.
    void setUserId(QString userId) { m_userId = std::move(userId); }

    // An empty customSystemPrompt is left out of the request. With pieces, the answer is asked for as a stream.
    QCoro::Task<ExplanationResult> explain(
        QString text, QString customSystemPrompt, std::optional<AppContext> appContext, Pieces pieces = {});
    QCoro::Task<ExplanationResult> explainImage(
        QByteArray imageData, QString customSystemPrompt, std::optional<AppContext> appContext, Pieces pieces = {});
    QCoro::Task<ExplanationResult> followUp(ConversationHistory messages, QString customSystemPrompt,
        std::optional<AppContext> appContext, Pieces pieces = {});

signals:
    void serviceSet();
    // A new TLS session was set up (not emitted when a kept-alive connection is reused).
    void tlsHandshakeCompleted();

private:
    RequestCommon commonFields(QString customSystemPrompt, std::optional<AppContext> appContext) const;
    QCoro::Task<ExplanationResult> post(QByteArray body, Pieces pieces);
    // Takes a reply's body as it arrives, within the size limits and the deadline.
    class BodyReader;
    // How a finished request failed, if it did: ended early, a broken transfer, or a status other than 2xx.
    static std::optional<ExplanationResult> failureOf(const BodyReader& reader, const QNetworkReply& reply);

    QUrl m_workerURL;
    QByteArray m_authorization;
    std::optional<QSslConfiguration> m_tls;
    enum class Ending;
    QHash<QNetworkReply*, Ending*> m_inFlight;
    std::chrono::milliseconds m_timeout = defaultTimeout;
    QString m_userId;
    bool m_held = false;
    QNetworkAccessManager m_network;
    // Decodes large answers off the main thread; its thread is joined when the client goes.
    QThreadPool m_decoder;
};
