// A streamed answer in the card, end to end: a stub model that writes its first word after 500 ms and then one
// every 20 ms (300 in all), the real quillora-service, and the card on this desktop. Prints the time from the
// model's first word to the first words on screen, the longest the GUI thread was held while the answer grew,
// and the time to the whole answer against the model's own. Run it on a desktop:
//   tests/support/with-desktop.sh build/<dir>/bench/bench_streaming
#include "platform/platform.h"
#include "popupstack.h"
#include "stubservice.h"

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
    double firstLayoutStallMs = 0; // the longest gap between two ticks of a 2 ms timer around the first words
    double longestStallMs = 0; // the same while the answer grew after its first half second on screen
    double wholeMs = -1; // the model's first word → the frame with the whole answer
};

using SteadyClock = std::chrono::steady_clock;
double millisecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Figures measure(PopupStack& popup, const std::atomic<SteadyClock::time_point>& firstWordAt)
{
    Figures figures;
    PopupViewModel& model = popup.model;
    popup.controller.showPopup(std::nullopt);
    QQuickWindow* card = popup.controller.panel();
    if (!card)
        return figures;
    QEventLoop loop;
    bool wordsShown = false;
    SteadyClock::time_point wordsShownAt;
    QObject::connect(card, &QQuickWindow::frameSwapped, &loop, [&] {
        const double since = millisecondsBetween(firstWordAt.load(), SteadyClock::now());
        if (!wordsShown && !model.displayText().isEmpty()) {
            wordsShown = true;
            wordsShownAt = SteadyClock::now();
            figures.firstWordsMs = since;
        }
        if (!model.isLoading() && !model.displayText().isEmpty()) {
            figures.wholeMs = since;
            loop.quit();
        }
    });
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    SteadyClock::time_point lastTick = SteadyClock::now();
    QObject::connect(&ticks, &QTimer::timeout, &loop, [&] {
        const SteadyClock::time_point now = SteadyClock::now();
        const double stall = millisecondsBetween(lastTick, now) - 2;
        if (wordsShown && millisecondsBetween(wordsShownAt, now) > 500)
            figures.longestStallMs = std::max(figures.longestStallMs, stall);
        else if (!model.displayText().isEmpty())
            figures.firstLayoutStallMs = std::max(figures.firstLayoutStallMs, stall);
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

    StubService modelStub(StubService::Tls::None);
    std::atomic<SteadyClock::time_point> firstWordAt {};
    StubService::Reply streamed { 200, {}, "text/event-stream" };
    streamed.stream = StubService::Reply::Stream::Paced;
    for (int i = 0; i < words; ++i)
        streamed.pieces.append(chatPiece("word" + QByteArray::number(i) + ' '));
    streamed.pieces.append("data: [DONE]\n\n");
    streamed.paceMs = paceMs;
    modelStub.setHandler([&](const StubService::Request&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(firstWordMs));
        firstWordAt = SteadyClock::now(); // the first piece goes out with the headers, now
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
    const Figures figures = measure(popup, firstWordAt);
    const double modelMs = millisecondsBetween(firstWordAt.load(), modelStub.lastPieceWrittenAt());
    std::printf("platform %s; a model writing %d words, the first after %d ms, then one every %d ms (%.0f ms from "
                "its first word to its end, as it ran)\n",
        qPrintable(QGuiApplication::platformName()), words, firstWordMs, paceMs, modelMs);
    std::printf("model's first word to the first words on screen: %.1f ms\n", figures.firstWordsMs);
    std::printf("longest GUI-thread stall around the first words: %.1f ms; while the answer grew after them: %.1f ms\n",
        figures.firstLayoutStallMs, figures.longestStallMs);
    std::printf("model's first word to the whole answer on screen: %.0f ms (%.1f %% over the model's own time)\n",
        figures.wholeMs, (figures.wholeMs / modelMs - 1) * 100);
    service.terminate();
    service.waitForFinished(3000);
    return figures.wholeMs < 0 ? 1 : 0;
}
