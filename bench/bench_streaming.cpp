// A streamed answer in the card, end to end: a stub model that writes its first word after 500 ms and then one
// every 20 ms (300 in all), the real quillora-service, and the card on this desktop. Prints the time from the
// model's first word to the first words on screen, the longest the GUI thread was held while the answer grew,
// and the time to the whole answer against the model's own. Run it on a desktop:
//   tests/support/with-desktop.sh build/<dir>/bench/bench_streaming
#include "platform/platform.h"
#include "popupstack.h"
#include "stubservice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int words = 300;
constexpr int firstWordMs = 500;
constexpr int paceMs = 20;

QByteArray chatPiece(const QByteArray& content)
{
    return R"(data: {"choices":[{"delta":{"content":")" + content + "\"}}]}\n\n";
}

// One streamed answer, shown in the card; -1 where a figure could not be taken.
struct Figures {
    double firstWordsMs = -1; // the model's first word → the first frame that shows words
    double longestStallMs = 0; // the longest gap between two ticks of a 2 ms timer while the answer grew
    double wholeMs = -1; // the model's first word → the frame with the whole answer
};

Figures measure(PopupStack& popup, const std::atomic<qint64>& firstWordAtNs, const QElapsedTimer& clock)
{
    Figures figures;
    PopupViewModel& model = popup.model;
    popup.controller.showPopup(std::nullopt);
    QQuickWindow* card = popup.controller.panel();
    if (!card)
        return figures;
    QEventLoop loop;
    bool wordsShown = false;
    QObject::connect(card, &QQuickWindow::frameSwapped, &loop, [&] {
        const double since = double(clock.nsecsElapsed() - firstWordAtNs.load()) / 1e6;
        if (!wordsShown && !model.displayText().isEmpty()) {
            wordsShown = true;
            figures.firstWordsMs = since;
        }
        if (!model.isLoading() && !model.displayText().isEmpty()) {
            figures.wholeMs = since;
            loop.quit();
        }
    });
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    qint64 lastTick = clock.nsecsElapsed();
    QObject::connect(&ticks, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (wordsShown)
            figures.longestStallMs = std::max(figures.longestStallMs, double(now - lastTick) / 1e6 - 2);
        lastTick = now;
    });
    ticks.start(2);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    model.explain(QStringLiteral("closure"), std::nullopt);
    loop.exec();
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QElapsedTimer clock;
    clock.start();

    StubService modelStub(StubService::Tls::None);
    std::atomic<qint64> firstWordAtNs { 0 };
    StubService::Reply streamed { 200, {}, "text/event-stream" };
    streamed.stream = StubService::Reply::Stream::Paced;
    for (int i = 0; i < words; ++i)
        streamed.pieces.append(chatPiece("word" + QByteArray::number(i) + ' '));
    streamed.pieces.append("data: [DONE]\n\n");
    streamed.paceMs = paceMs;
    modelStub.setHandler([&](const StubService::Request&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(firstWordMs));
        firstWordAtNs = clock.nsecsElapsed(); // the first piece goes out with the headers, now
        return streamed;
    });

    QProcess service;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLORA_SERVICE_TOKENS"), QStringLiteral("test-token"));
    service.setProcessEnvironment(environment);
    service.start(QStringLiteral(QUILLORA_SERVICE_PROGRAM),
        { "--listen", "127.0.0.1:0", "--upstream-url", modelStub.url("/v1").toString(), "--model", "m" });
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QString log;
    while (!listening.match(log).hasMatch() && service.waitForReadyRead(5000))
        log += QString::fromUtf8(service.readAllStandardOutput());
    const QString port = listening.match(log).captured(1);
    if (port.isEmpty()) {
        std::fprintf(stderr, "quillora-service did not start\n");
        return 1;
    }

    const std::unique_ptr<Platform> platform = Platform::createForSession();
    PopupStack popup(*platform, QUrl(QStringLiteral("http://127.0.0.1:%1/v1/explain").arg(port)));
    const Figures figures = measure(popup, firstWordAtNs, clock);
    const double modelMs = (words) * paceMs;
    std::printf("platform %s; a model writing %d words, the first after %d ms, then one every %d ms (%.0f ms from "
                "its first word to its last)\n",
        qPrintable(QGuiApplication::platformName()), words, firstWordMs, paceMs, modelMs);
    std::printf("model's first word to the first words on screen: %.1f ms\n", figures.firstWordsMs);
    std::printf("longest GUI-thread stall while the answer grew: %.1f ms\n", figures.longestStallMs);
    std::printf("model's first word to the whole answer on screen: %.0f ms (%.1f %% over the model's own time)\n",
        figures.wholeMs, (figures.wholeMs / modelMs - 1) * 100);
    service.terminate();
    service.waitForFinished(3000);
    return figures.wholeMs < 0 ? 1 : 0;
}
