#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

// A real explanation service stand-in on 127.0.0.1 (a free port), served from its own thread.
class StubService {
public:
    enum class Tls {
        TestCA, // a certificate signed by the test CA (TestCerts::trustingTestCA trusts it)
        Untrusted, // a self-signed certificate that nothing trusts
        None, // plain HTTP
    };

    struct Request {
        QByteArray method;
        QByteArray path; // with the query, as sent
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        int remotePort = 0; // tells the connections apart
        QJsonObject json() const; // the body as a JSON object (empty when it is not one)
    };

    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        bool stall = false; // accept the request and never answer (until the stub is destroyed)
        enum class Stream {
            None, // the body in one piece, with its length
            Chunked, // the body chunked, then 'a's up to chunkedSize in all
            Endless, // the headers, then a byte every 20 ms for ever
            StallAfterHeaders, // the headers, then silence
            ResetMidBody, // the length of the whole body, half of it, then the connection closes
            Paced, // the pieces chunked, pace apart
        } stream
            = Stream::None;
        qint64 chunkedSize = 0;
        QList<QByteArray> pieces {};
        int paceMs = 0;
        QByteArray location {}; // a Location header, when not empty
    };

    explicit StubService(Tls tls = Tls::TestCA);
    ~StubService();
    StubService(const StubService&) = delete;
    StubService& operator=(const StubService&) = delete;

    QUrl url(const QString& path = QStringLiteral("/v1/explain")) const;

    // The reply to every request from now on.
    void setReply(Reply reply);
    void replyWithExplanation(const QString& explanation);
    // Replies taken one per request before the default one is used.
    void enqueue(Reply reply);
    // Closes a kept-alive connection after this long without a request (before the first request only).
    void setIdleTimeout(int seconds);
    // Decides each reply itself (runs on the server thread).
    void setHandler(std::function<Reply(const Request&)> handler);

    QList<Request> requests() const;
    // Paced replies whose reader went away before their last piece.
    int abandonedReplies() const;
    // When the last paced reply wrote its last piece.
    std::chrono::steady_clock::time_point lastPieceWrittenAt() const;
    // Spins the event loop until n requests have arrived or the time runs out.
    bool waitForRequests(int n, int timeoutMs = 5000) const;

    static QByteArray explanationBody(const QString& explanation);
    // A 200 of server-sent events: these pieces, pace apart.
    static Reply paced(QList<QByteArray> pieces, int paceMs = 5);

private:
    struct State;
    std::unique_ptr<State> d;
};
