// From an Alt+X reading to the request leaving and the card on screen, on the AT-SPI path and on the
// copy-shortcut path, plus the longest stall of the main thread during a reading. Runs under the test
// desktop: tests/support/with-desktop.sh build/<dir>/bench/bench_capture
#include "capture/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "popup/popupwindowcontroller.h"
#include "stubservice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Figures {
    std::vector<double> toRequest, toCard, stall;
};

std::atomic<qint64> requestArrival { 0 }; // steady clock, ns

Figures measure(TextCaptureCoordinator& coordinator, StubService& stub, int runs)
{
    Figures figures;
    PopupWindowController& popup = PopupWindowController::shared();
    for (int run = 0; run < runs; ++run) {
        requestArrival = 0;
        const qsizetype before = stub.requests().size();
        qint64 cardShown = 0;
        auto shown = QObject::connect(
            &popup, &PopupWindowController::panelShown, [&] { cardShown = Clock::now().time_since_epoch().count(); });

        // The main thread's longest gap between two 1 ms ticks while the reading runs.
        QElapsedTimer gap;
        qint64 longest = 0;
        QTimer ticker;
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, gap.restart()); });
        gap.start();
        ticker.start();

        const qint64 start = Clock::now().time_since_epoch().count();
        QCoro::waitFor(coordinator.explainSelectedText());
        ticker.stop();
        stub.waitForRequests(int(before) + 1, 5000);
        for (int i = 0; i < 200 && (cardShown == 0 || requestArrival == 0); ++i)
            QTest::qWait(5);
        QObject::disconnect(shown);

        if (requestArrival && cardShown) {
            figures.toRequest.push_back((requestArrival - start) / 1e6);
            figures.toCard.push_back((cardShown - start) / 1e6);
            figures.stall.push_back(double(longest));
        }
        popup.closePopup();
        QTest::qWait(150);
    }
    return figures;
}

void print(const char* name, const Figures& f, int runs)
{
    // The first run also creates the card's QML engine and window; its stall is shown on its own.
    const double first = f.stall.empty() ? 0.0 : f.stall.front();
    const double warm = f.stall.size() < 2 ? 0.0 : *std::max_element(f.stall.begin() + 1, f.stall.end());
    std::printf("%-7s runs=%zu/%d  median to request %.1f ms  median to card %.1f ms  "
                "longest main-thread stall %.0f ms (first run %.0f ms)\n",
        name, f.toRequest.size(), runs, median(f.toRequest), median(f.toCard), warm, first);
}

QProcess* startPad(const QStringList& arguments, bool accessible)
{
    auto* pad = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!accessible)
        env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    pad->setProcessEnvironment(env);
    pad->start(QStringLiteral("/usr/bin/python3"), QStringList { QStringLiteral(QUILLORA_TEST_PAD) } + arguments);
    for (int i = 0; i < 200 && !pad->canReadLine(); ++i)
        QTest::qWait(25);
    QTest::qWait(300);
    return pad;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    constexpr int runs = 20;
    StubService stub(StubService::Tls::None);
    qputenv("QUILLORA_TEST_SERVICE_URL", stub.url().toEncoded());
    stub.setHandler([](const StubService::Request&) {
        requestArrival = Clock::now().time_since_epoch().count();
        return StubService::Reply { 200, StubService::explanationBody(QStringLiteral("An answer.")) };
    });

    PopupWindowController::shared().preload(); // warm cards; bench_startup measures the first one
    PopupPresenter presenter;
    TextCaptureCoordinator coordinator(presenter);

    QProcess* pad = startPad({ "--text", "The quick brown fox", "--select", "4", "9" }, true);
    print("AT-SPI", measure(coordinator, stub, runs), runs);
    pad->kill();
    pad->waitForFinished();

    pad = startPad({ "--text", "The quick brown fox", "--select", "4", "9", "--no-primary" }, false);
    print("copy", measure(coordinator, stub, runs), runs);
    pad->kill();
    pad->waitForFinished();
    return 0;
}
