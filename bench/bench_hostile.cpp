// What a hostile or oversized reply costs: the resident memory peak while the client rejects a 50 MB chunked
// reply, the main thread's longest stall while the card shows a 1 MB answer (the largest the client takes), and while the client reads
// error pages made to be slow to take apart.
//   tests/support/with-desktop.sh build/<dir>/bench/bench_hostile   (or QT_QPA_PLATFORM=offscreen)
#include "fakeplatform.h"
#include "popup/answerdocument.h"
#include "popup/popupviewmodel.h"
#include "platform/freedmemory.h"
#include "platform/platform.h"
#include "popup/popupwindowcontroller.h"
#include "popupstack.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QApplication>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A /proc/self/status value in MiB ("VmRSS", "VmHWM").
double statusMiB(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// Runs the event loop until `done`, and reports the longest gap between two ticks of a 1 ms timer meanwhile.
template <typename Done> qint64 longestStallUntil(Done done, int timeoutMs)
{
    QElapsedTimer gap;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, gap.restart()); });
    gap.start();
    ticker.start(1);
    if (!QTest::qWaitFor(done, timeoutMs))
        return -1;
    longest = std::max(longest, gap.elapsed());
    return longest;
}

QString markdownOfSize(qsizetype size)
{
    const QString paragraph = QStringLiteral("## Part\n\nSome *emphasis*, `code` and a [link](https://example.org).\n\n"
                                             "- one item\n- another item\n\n```\nint main() { return 0; }\n```\n\n");
    QString text;
    text.reserve(size);
    while (text.size() + paragraph.size() < size)
        text += paragraph;
    return text;
}

QCoro::Task<> markDone(QCoro::Task<ExplanationResult> request, bool* done)
{
    co_await std::move(request);
    *done = true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const FakePlatform fakes = FakePlatform::make();

    // 1. A 50 MB chunked reply, refused at the size limit.
    {
        StubService stub;
        stub.setReply({ 200, "{\"explanation\":\"", "application/octet-stream", false,
            StubService::Reply::Stream::Chunked, 50'000'000 });
        QuilloraAPIClient client(stub.url(), "bench", TestCerts::trustingTestCA());
        QCoro::waitFor(client.explain(QStringLiteral("warm-up"), {}, std::nullopt));
        const double idle = statusMiB("VmRSS:");
        resetPeak();
        QElapsedTimer clock;
        clock.start();
        const ExplanationResult result = QCoro::waitFor(client.explain(QStringLiteral("x"), {}, std::nullopt));
        std::printf("50 MB chunked reply: %s after %lld ms; resident peak %.1f MiB above idle (%.1f MiB)\n",
            qPrintable(result.isSuccess() ? QStringLiteral("accepted (!)") : result.error().description()),
            static_cast<long long>(clock.elapsed()), statusMiB("VmHWM:") - idle, idle);
    }

    // 2. A 1 MB Markdown answer (just under the client's limit) shown in the card.
    {
        const QString answer = markdownOfSize(QuilloraAPIClient::maximumResponseSize * 9 / 10);
        StubService stub;
        stub.replyWithExplanation(answer);
        PopupStack popup(*fakes, stub.url());
        PopupWindowController& controller = popup.controller;
        controller.showPopup(std::nullopt);
        if (!QTest::qWaitForWindowExposed(controller.panel()))
            return 1;
        PopupViewModel* model = controller.viewModel();
        model->explain(QStringLiteral("warm-up"), std::nullopt);
        if (!QTest::qWaitFor([&] { return !model->isLoading(); }, 30000))
            return 1;
        stub.replyWithExplanation(QStringLiteral("short"));
        model->explain(QStringLiteral("y"), std::nullopt);
        if (!QTest::qWaitFor([&] { return !model->isLoading(); }, 30000))
            return 1;

        // The longest stall from sending a request to the card's first frame with its answer.
        auto stallShowing = [&](const QString& shown) {
            stub.replyWithExplanation(shown);
            model->explain(QStringLiteral("z"), std::nullopt);
            bool framed = false;
            QMetaObject::Connection frame;
            const qint64 stall = longestStallUntil(
                [&] {
                    if (!model->isLoading() && !frame) {
                        frame
                            = QObject::connect(controller.panel(), &QQuickWindow::frameSwapped, [&] { framed = true; });
                        controller.panel()->update();
                    }
                    return framed;
                },
                60000);
            QObject::disconnect(frame);
            return stall;
        };
        // Five times each; the machine's own noise shows in the short answer's figures.
        std::vector<qint64> large, small;
        for (int i = 0; i < 5; ++i) {
            large.push_back(stallShowing(answer));
            small.push_back(stallShowing(QStringLiteral("A short answer.")));
        }
        std::sort(large.begin(), large.end());
        std::sort(small.begin(), small.end());
        std::printf("%.1f MB answer (%lld characters of Markdown): longest main-thread stall from the request to "
                    "the card's frame: min %lld ms, median %lld ms (a one-line answer: min %lld ms, median %lld ms)\n",
            StubService::explanationBody(answer).size() / 1e6,
            static_cast<long long>(answer.size()), static_cast<long long>(large[0]), static_cast<long long>(large[2]),
            static_cast<long long>(small[0]), static_cast<long long>(small[2]));

        QElapsedTimer trim;
        trim.start();
        releaseFreedMemory();
        std::printf("handing the freed heap back afterwards: %lld ms\n", static_cast<long long>(trim.elapsed()));

        QTextDocument document;
        QElapsedTimer clock;
        clock.start();
        AnswerDocument::render(&document, answer);
        document.size(); // lays it out
        std::printf("rendering and laying out the cut answer alone: %lld ms (%d characters shown)\n",
            static_cast<long long>(clock.elapsed()), document.characterCount());
    }

    // 3. 64 KiB error pages of unclosed or nested markup, the shapes that make a naive reader quadratic.
    {
        StubService stub;
        QuilloraAPIClient client(stub.url(), "bench", TestCerts::trustingTestCA());
        for (const char* piece : { "<head>", "<!--a", "<style>x", "<b>", "<table><tr><td>", "<" }) {
            QByteArray page;
            while (page.size() < 64 * 1024)
                page += piece;
            stub.setReply({ 502, page, "text/html" });
            bool done = false;
            QCoro::Task<> request = markDone(client.explain(QStringLiteral("x"), {}, std::nullopt), &done);
            std::printf("64 KiB error page of \"%s\": longest main-thread stall %lld ms\n", piece,
                static_cast<long long>(longestStallUntil([&] { return done; }, 30000)));
        }
    }
    return 0;
}
