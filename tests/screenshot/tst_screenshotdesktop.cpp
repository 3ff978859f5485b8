// The region capture on a real X server: a window showing a known picture, drags and keys sent with xdotool.
#include "pictures.h"
#include "platform/platform.h"
#include "platform/x11/x11screencapture.h"
#include "platform/x11/x11util.h"
#include "screenshot/screenshotcapturemanager.h"
#include "screenshot/screenshotoverlayview.h"

#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QTest>

namespace {

const QRect patternFrame(200, 150, 400, 300);

class PatternWindow final : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, pattern(size())); }
};

// How many pixels of the screen differ from what `panel` draws.
int differencesFromDrawing(const ScreenshotOverlayView& panel)
{
    const qreal scale = panel.devicePixelRatio();
    const QRect device(QPoint(), (panel.frame().size() * scale).toSize());
    const QImage shown = X11ScreenCapture::grab(X11::connection(), device, false);
    QImage drawn(device.size(), QImage::Format_RGB32);
    drawn.setDevicePixelRatio(scale);
    QPainter painter(&drawn);
    panel.paintOverlay(painter, QRegion(QRect(QPoint(), panel.frame().size().toSize())));
    painter.end();
    if (shown.size() != drawn.size())
        return -1;
    int differences = 0;
    for (int y = 0; y < shown.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(shown.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        for (int x = 0; x < shown.width(); ++x)
            differences += (a[x] & 0xffffff) != (b[x] & 0xffffff);
    }
    return differences;
}

// Runs xdotool in the background, so this process keeps handling the events it causes.
void xdotool(const QString& arguments) { QProcess::startDetached("xdotool", arguments.split(u' ')); }

} // namespace

class TestScreenshotDesktop : public QObject {
    Q_OBJECT

    PatternWindow m_pattern;
    std::unique_ptr<Platform> m_platform;
    QList<std::pair<std::optional<QByteArray>, std::optional<QRectF>>> m_results;

    void startCapture(ScreenshotCaptureManager& manager)
    {
        manager.completion = [this](auto jpeg, auto region) { m_results.append({ jpeg, region }); };
        manager.startCapture();
        QTRY_VERIFY(!manager.overlayPanels().isEmpty() && manager.overlayPanels().constFirst()->isActive());
    }

private slots:
    void initTestCase()
    {
        m_platform = Platform::createForSession();
        m_pattern.setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        m_pattern.setGeometry(patternFrame);
        m_pattern.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));
        QTest::qWait(200);
    }

    // The X connections' threads end here, not among the static objects at exit.
    void cleanupTestCase() { m_platform.reset(); }

    void init() { m_results.clear(); }

    void dragCapturesWhatIsUnderTheRegion()
    {
        ScreenshotCaptureManager manager(*m_platform);
        startCapture(manager);
        xdotool("mousemove 250 200 mousedown 1 mousemove 400 300 mousemove 550 400 mouseup 1");
        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), 1, 10000);
        QCOMPARE(m_results.first().second, std::optional(QRectF(250, 200, 300, 200)));
        const QImage jpeg = QImage::fromData(m_results.first().first.value_or(QByteArray()), "JPEG");
        QCOMPARE(jpeg.size(), QSize(300, 200));
        for (int y = 2; y < 200; y += 14)
            for (int x = 2; x < 300; x += 14)
                QVERIFY2(
                    distance(jpeg.pixel(x, y), patternAt(QPoint(x, y) + QPoint(50, 50), patternFrame.size())) <= 12,
                    qPrintable(QStringLiteral("at %1,%2").arg(x).arg(y)));
    }

    // The screen shows exactly what the overlay draws: when it appears (darkened where it is on this desktop,
    // which has no compositor), during a drag, and where a window above it has gone.
    void theScreenShowsTheOverlaysDrawing()
    {
        ScreenshotCaptureManager manager(*m_platform);
        startCapture(manager);
        ScreenshotOverlayView* panel = manager.overlayPanels().constFirst();
        QTRY_VERIFY(panel->isPainted());
        QTest::qWait(100);
        QCOMPARE(differencesFromDrawing(*panel), 0);
        panel->mouseDownAt({ 250, 200 });
        panel->mouseDraggedTo({ 400, 300 });
        QTest::qWait(50);
        panel->mouseDraggedTo({ 550, 400 });
        QTest::qWait(100);
        QCOMPARE(differencesFromDrawing(*panel), 0);
        {
            PatternWindow above;
            above.setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
            above.setGeometry(QRect(300, 250, 300, 200));
            above.show();
            QVERIFY(QTest::qWaitForWindowExposed(&above));
            QTest::qWait(100);
        }
        QTest::qWait(200);
        QCOMPARE(differencesFromDrawing(*panel), 0);
        manager.completion = nullptr;
        manager.handleCancel();
    }

    void escapeCancelsOnceAndTwoStartsLeaveOneSet()
    {
        ScreenshotCaptureManager manager(*m_platform);
        startCapture(manager);
        startCapture(manager);
        const auto overlaysShown = [] {
            const auto windows = QGuiApplication::topLevelWindows();
            return std::count_if(windows.cbegin(), windows.cend(),
                [](QWindow* w) { return qobject_cast<ScreenshotOverlayView*>(w) && w->isVisible(); });
        };
        QTRY_COMPARE(overlaysShown(), QGuiApplication::screens().size());
        xdotool("key Escape");
        QTRY_COMPARE(m_results.size(), 1);
        QCOMPARE(m_results.first(), std::make_pair(std::optional<QByteArray>(), std::optional<QRectF>()));
        QTRY_COMPARE(overlaysShown(), 0);
        xdotool("key Escape");
        QTest::qWait(300);
        QCOMPARE(m_results.size(), 1);
    }
};

QTEST_MAIN(TestScreenshotDesktop)
#include "tst_screenshotdesktop.moc"
