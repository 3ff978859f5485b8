// From an Alt+X reading to the request leaving and the card on screen, on the AT-SPI path in the test pad
// and in real applications, and on the copy-shortcut path; how many readings kept the selection's box;
// the longest stall of the main thread during a reading. Runs under the test desktop:
// tests/support/with-desktop.sh build/<dir>/bench/bench_capture
#include "app/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "platform/platform.h"
#include "popup/popupwindowcontroller.h"
#include "popupstack.h"
#include "screenshot/screenshotcapturemanager.h"
#include "stubservice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
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
    int anchored = 0; // readings whose card was placed at the selection's box
};

// Shows through the popup as the program does and counts the cards placed at a selection.
class CountingPresenter final : public CapturePresenter {
public:
    int anchored = 0;
    CountingPresenter(PopupWindowController& popup, Accessibility& accessibility)
        : m_popup(popup, accessibility)
    {
    }
    void showExplanation(TextCapture capture) override
    {
        anchored += capture.anchor.has_value();
        m_popup.showExplanation(std::move(capture));
    }
    void showDirectQuery(std::optional<AppContext> context) override { m_popup.showDirectQuery(std::move(context)); }
    void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) override
    {
        m_popup.showTooltip(icon, message, delay);
    }
    void showAccessibilityPrompt() override { m_popup.showAccessibilityPrompt(); }
    void showScreenshotExplanation(
        QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> context) override
    {
        m_popup.showScreenshotExplanation(std::move(jpeg), anchor, std::move(context));
    }
    void showFailure(std::optional<QRectF> anchor, const QString& message) override
    {
        m_popup.showFailure(anchor, message);
    }

private:
    PopupPresenter m_popup;
};

// What the program builds around the coordinator: the session's platform and the popup.
struct Application {
    std::unique_ptr<Platform> platform = Platform::createForSession();
    PopupStack popup;
    ScreenshotCaptureManager screenshots { *platform };
    CountingPresenter presenter { popup.controller, *platform->accessibility };

    explicit Application(const QUrl& service)
        : popup(*platform, service)
    {
    }
};

std::atomic<qint64> requestArrival { 0 }; // steady clock, ns

Figures measure(Application& application, StubService& stub, int runs)
{
    CountingPresenter& presenter = application.presenter;
    TextCaptureCoordinator coordinator(presenter, *application.platform, application.screenshots);
    presenter.anchored = 0;
    Figures figures;
    PopupWindowController& popup = application.popup.controller;
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
    figures.anchored = presenter.anchored;
    return figures;
}

void print(const char* name, const Figures& f, int runs)
{
    // The first run also creates the card's QML engine and window; its stall is shown on its own.
    const double first = f.stall.empty() ? 0.0 : f.stall.front();
    const double warm = f.stall.size() < 2 ? 0.0 : *std::max_element(f.stall.begin() + 1, f.stall.end());
    const double worst = f.toRequest.empty() ? 0.0 : *std::max_element(f.toRequest.begin(), f.toRequest.end());
    std::printf("%-11s runs=%zu/%d  to request: median %.1f ms, worst %.1f ms  median to card %.1f ms  "
                "box kept %d/%d  longest main-thread stall %.0f ms (first run %.0f ms)\n",
        name, f.toRequest.size(), runs, median(f.toRequest), worst, median(f.toCard), f.anchored, runs, warm, first);
    std::fflush(stdout);
}

// Starts a real application, makes it the active window and double-clicks a word at (30, line) in it.
QProcess* startApplication(const QString& program, const QStringList& arguments, int line)
{
    auto* process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_NO_GLIB"));
    process->setProcessEnvironment(env);
    process->start(program, arguments);
    QTest::qWait(2000);
    const QString pid = QString::number(process->processId());
    QProcess::execute(QStringLiteral("xdotool"),
        { "search", "--sync", "--onlyvisible", "--pid", pid, ".", "windowactivate", "--sync", "%1", "mousemove",
            "--window", "%1", "30", QString::number(line), "click", "--repeat", "2", "--delay", "80", "1" });
    QTest::qWait(500);
    return process;
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
    qputenv("QT_NO_GLIB", "1"); // as main() does
    QApplication app(argc, argv);
    constexpr int runs = 20;
    StubService stub(StubService::Tls::None);
    qputenv("QUILLORA_TEST_SERVICE_URL", stub.url().toEncoded());
    stub.setHandler([](const StubService::Request&) {
        requestArrival = Clock::now().time_since_epoch().count();
        return StubService::Reply { 200, StubService::explanationBody(QStringLiteral("An answer.")) };
    });

    Application application(stub.url());
    application.popup.controller.preload(); // warm cards; bench_startup measures the first one

    QProcess* pad = startPad({ "--text", "The quick brown fox", "--select", "4", "9" }, true);
    print("AT-SPI pad", measure(application, stub, runs), runs);
    pad->kill();
    pad->waitForFinished();

    QTemporaryDir dir;
    QFile words(dir.filePath(QStringLiteral("words.txt")));
    if (!words.open(QIODevice::WriteOnly))
        return 1;
    for (int i = 0; i < 40; ++i)
        words.write("selectme selectme selectme\n");
    words.close();
    const struct {
        const char* name;
        QString program;
        QStringList arguments;
        int line;
    } editors[] = {
        { "featherpad", "featherpad", { words.fileName() }, 100 },
        { "mousepad", "mousepad", { words.fileName() }, 150 },
        { "lxterminal", "lxterminal", { "-e", "sh -c 'cat " + words.fileName() + "; sleep 600'" }, 150 },
        { "qterminal", "qterminal", { "-e", "sh -c 'cat " + words.fileName() + "; sleep 600'" }, 150 },
    };
    for (const auto& editor : editors) {
        QProcess* process = startApplication(editor.program, editor.arguments, editor.line);
        print(editor.name, measure(application, stub, runs), runs);
        process->kill();
        process->waitForFinished();
        delete process;
    }

    pad = startPad({ "--text", "The quick brown fox", "--select", "4", "9", "--no-primary" }, false);
    print("copy", measure(application, stub, runs), runs);
    pad->kill();
    pad->waitForFinished();
    return 0;
}
