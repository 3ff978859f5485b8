// Measures the explanation client against a local HTTPS stub: per-call latency beside a plain
// cpp-httplib client making the same requests, TLS handshakes, and building an image request body.
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int calls = 200;

struct Figures {
    double median;
    double p95;
};

Figures summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return { ms[ms.size() / 2], ms[std::min(ms.size() - 1, size_t(double(ms.size()) * 0.95))] };
}

long maxResidentKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QByteArray fakeJpeg(qsizetype size)
{
    QByteArray jpeg(size, Qt::Uninitialized);
    auto* words = reinterpret_cast<quint32*>(jpeg.data());
    QRandomGenerator generator(42);
    generator.fillRange(words, size / 4);
    jpeg[0] = char(0xff);
    jpeg[1] = char(0xd8);
    return jpeg;
}

void benchImageBody()
{
    const qsizetype jpegSize = 2 * 1024 * 1024;
    ImageRequest request;
    request.imageData = fakeJpeg(jpegSize);
    request.common.userId = QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD");
    request.common.appContext = AppContext { QStringLiteral("Firefox"), QStringLiteral("firefox"),
        QStringLiteral("browser"), QStringLiteral("A page") };

    // Peak memory first, while nothing else has raised the high-water mark of this process.
    const long before = maxResidentKiB();
    const QByteArray body = request.toJson();
    const long peakExtra = (maxResidentKiB() - before) * 1024;

    std::vector<double> ms;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray again = request.toJson();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        Q_ASSERT(again.size() == body.size());
    }
    const Figures time = summarise(ms);
    std::printf(
        "image body (2 MiB JPEG -> %.2f MiB JSON): median %.2f ms, peak extra memory %.2f MiB = %.2fx the JPEG\n",
        double(body.size()) / 1048576.0, time.median, double(peakExtra) / 1048576.0,
        double(peakExtra) / double(jpegSize));
}

void benchRequests()
{
    StubService stub;
    stub.replyWithExplanation(QStringLiteral("A short explanation of the selected text, about as long as a real one."));
    const QString text = QStringLiteral("The mitochondria is the powerhouse of the cell.");

    QuilloraAPIClient client(stub.url(), "plumtreebarn", TestCerts::trustingTestCA());
    client.setUserId(QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD"));
    int handshakes = 0;
    QObject::connect(&client, &QuilloraAPIClient::tlsHandshakeCompleted, [&] { ++handshakes; });

    // All calls from one coroutine on the running event loop, as the popup makes them.
    auto sequence = [&]() -> QCoro::Task<std::vector<double>> {
        std::vector<double> ms;
        for (int i = 0; i < calls; ++i) {
            QElapsedTimer timer;
            timer.start();
            const ExplanationResult result = co_await client.explain(text, QString(), std::nullopt);
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (!result.isSuccess()) {
                std::printf("request failed: %s\n", qPrintable(result.error().description()));
                co_return std::vector<double> {};
            }
        }
        co_return ms;
    };
    const std::vector<double> ours = QCoro::waitFor(sequence());
    if (ours.empty())
        return;
    const auto firstRequestHeaders = stub.requests().constFirst().headers;

    // The same request bodies through a plain keep-alive cpp-httplib client.
    InitialRequest request { text, {} };
    request.common.userId = QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD");
    const std::string body = request.toJson().toStdString();
    httplib::SSLClient plain("127.0.0.1", stub.url().port());
    plain.set_ca_cert_path(TestCerts::path("ca.pem").toStdString().c_str());
    plain.enable_server_certificate_verification(true);
    plain.set_keep_alive(true);
    plain.set_tcp_nodelay(true);
    // The same headers Qt sends, so the stub compresses both replies alike.
    httplib::Headers headers { { "Authorization", "Bearer plumtreebarn" } };
    for (const auto& [name, value] : firstRequestHeaders.asKeyValueRange())
        if (name == "accept-encoding" || name == "accept-language" || name == "user-agent")
            headers.emplace(name.toStdString(), value.toStdString());
    std::vector<double> reference;
    for (int i = 0; i < calls; ++i) {
        QElapsedTimer timer;
        timer.start();
        auto response = plain.Post("/v1/explain", headers, body, "application/json");
        reference.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!response || response->status != 200) {
            std::printf("reference request failed\n");
            return;
        }
    }

    const Figures a = summarise(ours);
    const Figures b = summarise(reference);
    std::printf("%d sequential explain calls: median %.3f ms, p95 %.3f ms, TLS handshakes %d\n", calls, a.median, a.p95,
        handshakes);
    std::printf("both ask for Accept-Encoding: %s\n", firstRequestHeaders.value("accept-encoding").constData());
    std::printf("plain cpp-httplib client:    median %.3f ms, p95 %.3f ms\n", b.median, b.p95);
    std::printf("ratio (ours / plain): median %.2f, p95 %.2f\n", a.median / b.median, a.p95 / b.p95);
}

// A key's first request with a new client, which opens its connection then, and with one that opened it ahead
// while the selection was read (the stub's handshake is local: over a network add its round trips).
void benchFirstRequest()
{
    StubService stub;
    stub.replyWithExplanation(QStringLiteral("Short."));
    std::vector<double> cold, ahead;
    for (int round = 0; round < 20; ++round) {
        for (const bool early : { false, true }) {
            QuilloraAPIClient client(stub.url(), "plumtreebarn", TestCerts::trustingTestCA());
            client.setUserId(QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD"));
            if (early) {
                QEventLoop handshake;
                QObject::connect(&client, &QuilloraAPIClient::tlsHandshakeCompleted, &handshake, &QEventLoop::quit);
                QTimer::singleShot(5000, &handshake, &QEventLoop::quit);
                client.connectAhead();
                handshake.exec();
            }
            QElapsedTimer timer;
            timer.start();
            const ExplanationResult result
                = QCoro::waitFor(client.explain(QStringLiteral("x"), QString(), std::nullopt));
            (early ? ahead : cold).push_back(double(timer.nsecsElapsed()) / 1e6);
            if (!result.isSuccess())
                return;
        }
    }
    std::printf("first request of a new client: median %.2f ms; over a connection opened ahead: median %.2f ms\n",
        summarise(cold).median, summarise(ahead).median);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    benchImageBody();
    benchRequests();
    benchFirstRequest();
    return 0;
}
