// The region capture's figures on the screen it runs on: trigger to overlays on screen, mouse-up to JPEG
// bytes (a 1000 x 800 region and the whole screen) beside a plain MIT-SHM grab + libjpeg-turbo at quality 85
// of the same pixels and ImageMagick's `import -window root -quality 85`, the resident size before, during and
// after an overlay, and the peak memory a whole-screen capture adds. bench/screenshot-bench.sh runs it on a
// 1920 x 1080 and a 3840 x 2160 X server.
//   bench_screenshot            the figures (needs an X11 display)
//   bench_screenshot --render D the overlay's hint card and a selection as PNG files in directory D
#include "platform/platform.h"
#include "platform/x11/x11screencapture.h"
#include "platform/x11/x11util.h"
#include "screenshot/screenshotcapturemanager.h"
#include "screenshot/screenshotoverlayview.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <jpeglib.h>

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

double msSince(const QElapsedTimer& clock) { return double(clock.nsecsElapsed()) / 1e6; }

// One round trip: everything sent before it has been handled by the X server.
void syncWithServer()
{
    xcb_connection_t* c = X11::connection();
    X11::Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

double kilobytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields[0] == field)
            return fields[1].toDouble();
    }
    return 0;
}

// Milliseconds from startCapture() to every overlay painted and on the X server.
double triggerToOverlay(ScreenshotCaptureManager& manager)
{
    QElapsedTimer clock;
    clock.start();
    manager.startCapture();
    waitFor([&] {
        const auto& panels = manager.overlayPanels();
        return !panels.isEmpty()
            && std::all_of(panels.cbegin(), panels.cend(), [](auto* p) { return p->isExposed() && p->isPainted(); });
    });
    QCoreApplication::processEvents(); // anything the expose still asks for
    syncWithServer();
    return msSince(clock);
}

// Milliseconds from the selection (mouse-up) to the JPEG bytes in the handler; the JPEG's size in *bytes.
double selectionToJpeg(ScreenshotCaptureManager& manager, const QRectF& region, qsizetype* bytes)
{
    triggerToOverlay(manager);
    std::optional<QByteArray> jpeg;
    bool done = false;
    manager.completion = [&](std::optional<QByteArray> result, std::optional<QRectF>) {
        jpeg = std::move(result);
        done = true;
    };
    QElapsedTimer clock;
    clock.start();
    manager.handleSelection(region);
    waitFor([&] { return done; });
    const double elapsed = msSince(clock);
    waitFor([] { return false; }, 150); // the windows under the overlay repaint before the next grab
    *bytes = jpeg ? jpeg->size() : -1;
    return elapsed;
}

// The reference: grab the device pixels through MIT-SHM and hand them straight to libjpeg-turbo.
double shmGrabAndLibjpeg(const QRect& pixels, qsizetype* bytes)
{
    QElapsedTimer clock;
    clock.start();
    const QImage image = X11ScreenCapture::grab(X11::connection(), pixels, true);
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar*>(image.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const double elapsed = msSince(clock);
    *bytes = qsizetype(outSize);
    free(out);
    return elapsed;
}

double importCommand(const QRect& pixels)
{
    QElapsedTimer clock;
    clock.start();
    QProcess import;
    const QString crop
        = QStringLiteral("%1x%2+%3+%4").arg(pixels.width()).arg(pixels.height()).arg(pixels.x()).arg(pixels.y());
    import.start("import", { "-window", "root", "-crop", crop, "-quality", "85", "/tmp/quillora-bench-import.jpg" });
    import.waitForFinished(60000);
    return msSince(clock);
}

// Something to capture: gradients, blocks and text over the whole screen, as on a busy desktop.
class Backdrop final : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QLinearGradient gradient(0, 0, width(), height());
        gradient.setColorAt(0, QColor(30, 60, 120));
        gradient.setColorAt(1, QColor(220, 180, 90));
        painter.fillRect(QRect(QPoint(), size()), gradient);
        painter.setPen(Qt::black);
        for (int y = 0; y < height(); y += 240) {
            for (int x = 0; x < width(); x += 320) {
                painter.fillRect(x + 10, y + 10, 300, 220, QColor::fromHsv((x / 7 + y / 3) % 360, 60, 250));
                painter.drawText(QRect(x + 20, y + 20, 280, 200), Qt::TextWordWrap,
                    QStringLiteral("Error 0x80070005: access denied while writing the configuration file. "
                                   "Check the permissions of the data folder and try again. %1,%2")
                        .arg(x)
                        .arg(y));
            }
        }
    }
};

int measure()
{
    if (!X11::connection()) {
        std::puts("bench_screenshot: needs an X11 display");
        return 1;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen->geometry().size() * screen->devicePixelRatio();
    std::printf("screen %dx%d device pixels, scale %.2f\n", size.width(), size.height(), screen->devicePixelRatio());
    // The busy desktop belongs to another process, as it would: its repaints are not ours to wait for.
    QProcess backdrop;
    backdrop.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    backdrop.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--backdrop") });
    waitFor([&] { return backdrop.canReadLine(); });
    waitFor([] { return false; }, 300);
    const std::unique_ptr<Platform> platform = Platform::createForSession();
    ScreenshotCaptureManager manager(*platform);
    constexpr int runs = 7;

    // Resident size idle, with the overlay up and once it has closed: the frames go with the overlay.
    {
        const double idle = kilobytes("VmRSS:") / 1024;
        triggerToOverlay(manager);
        const double shown = kilobytes("VmRSS:") / 1024;
        manager.handleCancel();
        waitFor([] { return false; }, 200); // the panels are deleted once their handlers have returned
        const double closed = kilobytes("VmRSS:") / 1024;
        std::printf("resident: idle before the first capture %.1f MB, overlay up %.1f MB, after closing %.1f MB\n",
            idle, shown, closed);
    }

    // Memory first, in a process that has done one capture (fonts, plugins, pools are loaded once).
    qsizetype bytes = 0;
    selectionToJpeg(manager, QRectF(QPointF(), screen->geometry().size()), &bytes);
    {
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (clearRefs.open(QIODevice::WriteOnly))
            clearRefs.write("5"); // resets the peak resident size
    }
    const double before = kilobytes("VmRSS:");
    selectionToJpeg(manager, QRectF(QPointF(), screen->geometry().size()), &bytes);
    const double peakExtra = (kilobytes("VmHWM:") - before) / 1024;
    const double raw = double(size.width()) * size.height() * 4 / 1024 / 1024;
    std::printf("peak extra memory, whole-screen capture: %.1f MB = %.2fx the raw frame (%.1f MB)\n", peakExtra,
        peakExtra / raw, raw);

    std::vector<double> grabs;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(platform->screenCapture->grabScreens(platform->screens->screens()));
        grabs.push_back(msSince(clock));
    }
    std::printf("grabbing the screen alone: %.1f ms (median of %d)\n", median(grabs), runs);

    std::vector<double> paints;
    {
        QImage canvas(size, QImage::Format_RGB32);
        canvas.setDevicePixelRatio(screen->devicePixelRatio());
        QImage frozen(size, QImage::Format_RGB32);
        frozen.fill(Qt::darkCyan);
        frozen.setDevicePixelRatio(screen->devicePixelRatio());
        ScreenshotOverlayView view(screen->geometry(), frozen);
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer clock;
            clock.start();
            QPainter painter(&canvas);
            view.paintOverlay(painter, QRegion(canvas.rect()));
            painter.end();
            paints.push_back(msSince(clock));
        }
    }
    std::printf("painting the whole overlay once: %.1f ms (median of %d)\n", median(paints), runs);

    std::vector<double> overlay;
    for (int i = 0; i < runs; ++i) {
        overlay.push_back(triggerToOverlay(manager));
        manager.handleCancel();
        waitFor([] { return false; }, 50);
    }
    std::printf("trigger to overlay on screen: %.1f ms (median of %d)\n", median(overlay), runs);

    const QRect wholeScreen(QPoint(), size);
    const QRectF logicalRegion(100, 100, 1000 / screen->devicePixelRatio(), 800 / screen->devicePixelRatio());
    const QRect region(QPoint(100, 100), QSize(1000, 800));
    for (const auto& [name, logical, pixels] : { std::tuple { "1000x800 region", logicalRegion, region },
             std::tuple { "whole screen", QRectF(QPointF(), screen->geometry().size()), wholeScreen } }) {
        std::vector<double> ours, reference, import;
        qsizetype ourBytes = 0, referenceBytes = 0;
        for (int i = 0; i < runs; ++i) {
            ours.push_back(selectionToJpeg(manager, logical, &ourBytes));
            reference.push_back(shmGrabAndLibjpeg(pixels, &referenceBytes));
            if (i < 3)
                import.push_back(importCommand(pixels));
        }
        std::printf("%s: mouse-up to JPEG %.1f ms (%lld bytes); XShm grab + libjpeg-turbo q85 %.1f ms (%lld bytes), "
                    "ratio %.2f; import -window root -quality 85 %.1f ms\n",
            name, median(ours), qlonglong(ourBytes), median(reference), qlonglong(referenceBytes),
            median(ours) / median(reference), median(import));
    }
    waitFor([] { return false; }, 200);
    std::printf("resident after every capture has closed: %.1f MB\n", kilobytes("VmRSS:") / 1024);
    backdrop.kill();
    backdrop.waitForFinished();
    return 0;
}

int render(const QString& directory)
{
    QDir().mkpath(directory);
    QImage picture(1280, 800, QImage::Format_RGB32);
    QPainter scene(&picture);
    scene.fillRect(picture.rect(), QColor(236, 239, 244));
    scene.fillRect(QRect(80, 60, 700, 450), Qt::white);
    scene.setPen(QColor(40, 40, 40));
    scene.setFont(QFont(QGuiApplication::font().family(), 14));
    scene.drawText(QRect(110, 90, 640, 380), Qt::TextWordWrap,
        QStringLiteral("Error 0x80070005: access denied while writing the configuration file.\n\nThe "
                       "service could not start. Check the permissions of the data folder and try again."));
    scene.fillRect(QRect(840, 120, 340, 260), QColor(70, 130, 180));
    scene.end();

    const auto save = [&](ScreenshotOverlayView& view, const QString& name) {
        QImage canvas(picture.size(), QImage::Format_RGB32);
        QPainter painter(&canvas);
        view.paintOverlay(painter, QRegion(canvas.rect()));
        painter.end();
        canvas.save(QDir(directory).filePath(name));
    };
    ScreenshotOverlayView hint(QRectF(QPointF(), picture.size()), picture);
    save(hint, "overlay-hint.png");
    ScreenshotOverlayView selecting(QRectF(QPointF(), picture.size()), picture);
    selecting.mouseDownAt({ 100, 80 });
    selecting.mouseDraggedTo({ 620.6, 300.3 });
    save(selecting, "overlay-selection.png");
    ScreenshotOverlayView low(QRectF(QPointF(), picture.size()), picture);
    low.mouseDownAt({ 840, 600 });
    low.mouseDraggedTo({ 1180, 790 });
    save(low, "overlay-selection-label-above.png");
    std::printf("written to %s\n", qPrintable(directory));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--render"))
        return render(arguments.at(2));
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--backdrop")) {
        Backdrop backdrop;
        backdrop.setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry());
        backdrop.show();
        waitFor([&] { return backdrop.isExposed(); });
        std::puts("shown");
        std::fflush(stdout);
        return QGuiApplication::exec();
    }
    return measure();
}
