// How fast the popup card reaches the screen, with and without preload(), and what it costs in memory. Run it
// on a desktop (for instance tests/support/with-desktop.sh build/<dir>/bench/bench_popup); it prints its figures.
#include "platform/platform.h"
#include "popup/popupwindowcontroller.h"
#include "popupstack.h"
#include "service/quilloraapiclient.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
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

const QUrl unusedService(QStringLiteral("https://127.0.0.1:1/unused"));

const QString firstShowOption = QStringLiteral("--first-show");
const QString preloadedFirstShowOption = QStringLiteral("--first-show-after-preload");

// In a fresh process: optionally preload, idle a moment as the program would, then time the first show.
// Prints "<preload ms> <first show ms>".
int measureFirstShow(bool preload)
{
    const std::unique_ptr<Platform> platform = Platform::createForSession();
    PopupStack popup(*platform, unusedService);
    PopupWindowController& controller = popup.controller;
    double preloadMs = 0;
    if (preload) {
        QElapsedTimer clock;
        clock.start();
        controller.preload();
        preloadMs = double(clock.nsecsElapsed()) / 1e6;
    }
    settle(300);
    const double first = timeToFirstFrame(controller);
    std::printf("%.2f %.2f\n", preloadMs, first);
    return first < 0 ? 1 : 0;
}

struct FirstShows {
    std::vector<double> preload;
    std::vector<double> firstShow;
};

// Every first show in its own process, so each pays for all a program's first card pays for.
FirstShows firstShowsInFreshProcesses(bool preload, int runs)
{
    FirstShows shows;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), { preload ? preloadedFirstShowOption : firstShowOption });
        if (!child.waitForFinished(30000) || child.exitCode() != 0)
            continue;
        const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
        if (fields.size() == 2) {
            shows.preload.push_back(fields[0].toDouble());
            shows.firstShow.push_back(fields[1].toDouble());
        }
    }
    return shows;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QString mode = app.arguments().value(1);
    if (mode == firstShowOption || mode == preloadedFirstShowOption)
        return measureFirstShow(mode == preloadedFirstShowOption);
    const auto [bareRss, barePeak] = residentMegabytes();

    const std::unique_ptr<Platform> platform = Platform::createForSession();
    PopupStack popup(*platform, unusedService);
    PopupWindowController& controller = popup.controller;
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
    const double laterMedian = median(later);
    settle(200);
    const auto [afterRss, afterPeak] = residentMegabytes();

    std::printf("platform %s, scene graph %s\n", qPrintable(QGuiApplication::platformName()),
        software ? "software" : "hardware");
    std::printf("showPopup to first frame, first in process: %.1f ms\n", first);
    std::printf("showPopup to first frame, later (median of 20): %.1f ms (min %.1f, max %.1f)\n", laterMedian,
        later.front(), later.back());
    constexpr int runs = 7;
    const FirstShows cold = firstShowsInFreshProcesses(false, runs);
    const FirstShows preloaded = firstShowsInFreshProcesses(true, runs);
    std::printf("first show in a fresh process, median of %d: %.1f ms without preload, %.1f ms after preload "
                "(preload itself %.1f ms)\n",
        runs, median(cold.firstShow), median(preloaded.firstShow), median(preloaded.preload));
    std::printf("RSS before any card: %.1f MB\n", bareRss);
    std::printf("RSS after the card was shown once: %.1f MB (peak %.1f MB)\n", onceRss, oncePeak);
    std::printf("RSS after 21 shows: %.1f MB (peak %.1f MB)\n", afterRss, afterPeak);
    return first < 0 || later.front() < 0 ? 1 : 0;
}
