#include "stubservice.h"

#include "testcerts.h"

#include <httplib.h>

#include <QJsonDocument>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct StubService::State {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    bool tls = false;

    mutable std::mutex mutex;
    std::condition_variable released;
    bool stopping = false;
    int abandoned = 0;
    std::chrono::steady_clock::time_point lastPieceWrittenAt;
    Reply defaultReply { 200, StubService::explanationBody(QStringLiteral("stub explanation")) };
    std::deque<Reply> queue;
    std::function<Reply(const Request&)> handler;
    QList<Request> requests;

    Reply replyFor(const Request& request)
    {
        std::unique_lock lock(mutex);
        requests.append(request);
        if (!queue.empty()) {
            Reply reply = queue.front();
            queue.pop_front();
            return reply;
        }
        if (!handler)
            return defaultReply;
        const auto decide = handler;
        lock.unlock();
        return decide(request);
    }
};

QJsonObject StubService::Request::json() const { return QJsonDocument::fromJson(body).object(); }

StubService::StubService(Tls tls)
    : d(std::make_unique<State>())
{
    const QString certificate = TestCerts::path(tls == Tls::TestCA ? "server" : "untrusted");
    d->tls = tls != Tls::None;
    if (d->tls)
        d->server = std::make_unique<httplib::SSLServer>(
            (certificate + ".pem").toUtf8().constData(), (certificate + ".key").toUtf8().constData());
    else
        d->server = std::make_unique<httplib::Server>();
    if (!d->server->is_valid())
        qFatal("StubService: the server could not load its certificate");

    d->server->set_keep_alive_max_count(100000);
    d->server->set_tcp_nodelay(true); // as a real service would; otherwise small replies wait for delayed ACKs
    const auto serve = [state = d.get()](const httplib::Request& req, httplib::Response& res) {
        Request request;
        request.method = QByteArray::fromStdString(req.method);
        request.path = QByteArray::fromStdString(req.target);
        for (const auto& [name, value] : req.headers)
            request.headers.insert(QByteArray::fromStdString(name).toLower(), QByteArray::fromStdString(value));
        request.body = QByteArray::fromStdString(req.body);
        request.remotePort = req.remote_port;

        const Reply reply = state->replyFor(request);
        if (reply.stall) {
            std::unique_lock lock(state->mutex);
            state->released.wait(lock, [state] { return state->stopping; });
            return;
        }
        res.status = reply.status;
        if (!reply.location.isEmpty())
            res.set_header("Location", reply.location.toStdString());
        const std::string type = reply.contentType.toStdString();
        // Waits a little unless the stub stops meanwhile; false once it stops.
        auto pause = [state](int ms) {
            std::unique_lock lock(state->mutex);
            return !state->released.wait_for(lock, std::chrono::milliseconds(ms), [state] { return state->stopping; });
        };
        switch (reply.stream) {
        case Reply::Stream::None:
            res.set_content(reply.body.toStdString(), type);
            break;
        case Reply::Stream::Chunked:
            res.set_chunked_content_provider(type, [reply](size_t, httplib::DataSink& sink) {
                static const std::string filler(64 * 1024, 'a');
                bool ok = sink.write(reply.body.constData(), size_t(reply.body.size()));
                for (qint64 sent = reply.body.size(); ok && sent < reply.chunkedSize; sent += qint64(filler.size()))
                    ok = sink.write(filler.data(), size_t(std::min(qint64(filler.size()), reply.chunkedSize - sent)));
                if (ok)
                    sink.done();
                return ok;
            });
            break;
        case Reply::Stream::Endless:
        case Reply::Stream::StallAfterHeaders:
            res.set_chunked_content_provider(
                type, [pause, write = reply.stream == Reply::Stream::Endless](size_t, httplib::DataSink& sink) {
                    return pause(20) && (!write || sink.write(" ", 1));
                });
            break;
        case Reply::Stream::Paced:
            res.set_chunked_content_provider(
                type, [state, pause, reply, next = qsizetype(0)](size_t, httplib::DataSink& sink) mutable {
                    if (next == reply.pieces.size()) {
                        sink.done();
                        std::lock_guard lock(state->mutex);
                        state->lastPieceWrittenAt = std::chrono::steady_clock::now();
                        return true;
                    }
                    const QByteArray& piece = reply.pieces.at(next++);
                    if ((next == 1 || pause(reply.paceMs)) && sink.write(piece.constData(), size_t(piece.size())))
                        return true;
                    std::lock_guard lock(state->mutex);
                    ++state->abandoned;
                    return false;
                });
            break;
        case Reply::Stream::ResetMidBody:
            res.set_content_provider(
                size_t(reply.body.size()), type, [body = reply.body](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset > 0)
                        return false; // drops the connection
                    return sink.write(body.constData(), size_t(body.size() / 2));
                });
            break;
        }
    };
    d->server->Post(".*", serve);
    d->server->Get(".*", serve); // a model API's listing, feeds and pages

    d->port = d->server->bind_to_any_port("127.0.0.1");
    if (d->port <= 0)
        qFatal("StubService: could not bind to 127.0.0.1");
    d->thread = std::thread([server = d->server.get()] { server->listen_after_bind(); });
    // A stop() before the server runs is lost and the destructor would wait for it forever.
    while (!d->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StubService::~StubService()
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->released.notify_all();
    d->server->stop();
    d->thread.join();
}

QUrl StubService::url(const QString& path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(d->tls ? "https" : "http").arg(d->port).arg(path));
}

void StubService::setReply(Reply reply)
{
    std::lock_guard lock(d->mutex);
    d->defaultReply = std::move(reply);
}

void StubService::replyWithExplanation(const QString& explanation) { setReply({ 200, explanationBody(explanation) }); }

void StubService::enqueue(Reply reply)
{
    std::lock_guard lock(d->mutex);
    d->queue.push_back(std::move(reply));
}

void StubService::setIdleTimeout(int seconds) { d->server->set_keep_alive_timeout(seconds); }

void StubService::setHandler(std::function<Reply(const Request&)> handler)
{
    std::lock_guard lock(d->mutex);
    d->handler = std::move(handler);
}

QList<StubService::Request> StubService::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

int StubService::abandonedReplies() const
{
    std::lock_guard lock(d->mutex);
    return d->abandoned;
}

std::chrono::steady_clock::time_point StubService::lastPieceWrittenAt() const
{
    std::lock_guard lock(d->mutex);
    return d->lastPieceWrittenAt;
}

bool StubService::waitForRequests(int n, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return requests().size() >= n; }, timeoutMs);
}

QByteArray StubService::explanationBody(const QString& explanation)
{
    return QJsonDocument(QJsonObject { { QStringLiteral("explanation"), explanation } }).toJson(QJsonDocument::Compact);
}

StubService::Reply StubService::paced(QList<QByteArray> pieces, int paceMs)
{
    Reply reply { 200, {}, "text/event-stream" };
    reply.stream = Reply::Stream::Paced;
    reply.pieces = std::move(pieces);
    reply.paceMs = paceMs;
    return reply;
}
