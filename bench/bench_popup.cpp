// How fast the popup card reaches the screen and what it costs in memory. Run it on a desktop (for instance
// tests/support/with-desktop.sh build/<dir>/bench/bench_popup); it prints its figures.
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The process's resident and peak resident memory in MB.
std::pair<double, double> residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return { 0, 0 };
    double rss = 0;
    double peak = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields[0] == "VmRSS:")
            rss = fields[1].toDouble() / 1024;
        if (fields.size() >= 2 && fields[0] == "VmHWM:")
            peak = fields[1].toDouble() / 1024;
    }
    return { rss, peak };
}

// Milliseconds from showPopup to the first frame of the new card on screen; -1 if none came.
double timeToFirstFrame(PopupWindowController& controller)
{
    QElapsedTimer clock;
    clock.start();
    controller.showPopup(std::nullopt);
    QQuickWindow* panel = controller.panel();
    if (!panel)
        return -1;
    QEventLoop loop;
    double elapsed = -1;
    QObject::connect(panel, &QQuickWindow::frameSwapped, &loop, [&] {
        elapsed = double(clock.nsecsElapsed()) / 1e6;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    return elapsed;
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const auto [bareRss, barePeak] = residentMegabytes();

    PopupWindowController controller(
        new QuilloraAPIClient(QUrl(QStringLiteral("https://127.0.0.1:1/unused")), "bench"));
    const double first = timeToFirstFrame(controller);
    const bool software = controller.panel()
        && controller.panel()->rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
    settle(200);
    const auto [onceRss, oncePeak] = residentMegabytes();

    std::vector<double> later;
    for (int i = 0; i < 20; ++i) {
        controller.closePopup();
        settle(30);
        later.push_back(timeToFirstFrame(controller));
    }
    std::sort(later.begin(), later.end());
    const double median = (later[9] + later[10]) / 2;
    settle(200);
    const auto [afterRss, afterPeak] = residentMegabytes();

    std::printf("platform %s, scene graph %s\n", qPrintable(QGuiApplication::platformName()),
        software ? "software" : "hardware");
    std::printf("showPopup to first frame, first in process: %.1f ms\n", first);
    std::printf("showPopup to first frame, later (median of 20): %.1f ms (min %.1f, max %.1f)\n", median,
        later.front(), later.back());
    std::printf("RSS before any card: %.1f MB\n", bareRss);
    std::printf("RSS after the card was shown once: %.1f MB (peak %.1f MB)\n", onceRss, oncePeak);
    std::printf("RSS after 21 shows: %.1f MB (peak %.1f MB)\n", afterRss, afterPeak);
    return first < 0 || later.front() < 0 ? 1 : 0;
}
