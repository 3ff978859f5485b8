// The selection overlay's drawing and drags, and the capture manager's crop, on fake screens. Escape and
// repeated starts are checked on a real X server (tst_screenshotdesktop).
#include "fakeplatform.h"
#include "pictures.h"
#include "screenshot/screenshotcapturemanager.h"
#include "screenshot/screenshotoverlayview.h"

#include <QPainter>
#include <QTest>

namespace {

QRgb dimmed(QRgb c) { return qRgb(qRed(c) * 0.55, qGreen(c) * 0.55, qBlue(c) * 0.55); }

enum class Look { Frozen, Dimmed, White, Dark }; // Dark: the label's or the card's background

} // namespace

class TestScreenshot : public QObject {
    Q_OBJECT

    FakePlatform fakes;

private slots:
    void init() { fakes = FakePlatform::make(); }

    void overlayDrawing_data()
    {
        QTest::addColumn<QPointF>("from"); // drag start; null: no drag
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<QPoint>("probe");
        QTest::addColumn<Look>("look");
        const QPointF none, a(50, 40), b(250, 140), low(50, 200), bottom(250, 290);
        // clang-format off
        QTest::newRow("hint card before a drag") << none << none << QPoint(200, 125) << Look::Dark;
        QTest::newRow("dimmed before a drag") << none << none << QPoint(10, 10) << Look::Dimmed;
        QTest::newRow("no hint card while dragging") << a << b << QPoint(200, 125) << Look::Frozen;
        QTest::newRow("dimmed outside") << a << b << QPoint(10, 10) << Look::Dimmed;
        QTest::newRow("unchanged inside") << a << b << QPoint(150, 90) << Look::Frozen;
        QTest::newRow("border just inside") << a << b << QPoint(50, 90) << Look::White;
        QTest::newRow("nothing just outside") << a << b << QPoint(48, 90) << Look::Dimmed;
        QTest::newRow("label below") << a << b << QPoint(130, 146) << Look::Dark;
        QTest::newRow("no label above") << a << b << QPoint(120, 34) << Look::Dimmed;
        QTest::newRow("label above near the bottom") << low << bottom << QPoint(130, 194) << Look::Dark;
        QTest::newRow("2 wide: no hole") << a << QPointF(52, 140) << QPoint(51, 90) << Look::Dimmed;
        // clang-format on
    }

    void overlayDrawing()
    {
        QFETCH(QPointF, from);
        QFETCH(QPointF, to);
        QFETCH(QPoint, probe);
        QFETCH(Look, look);
        const QImage frozen = pattern({ 400, 300 });
        ScreenshotOverlayView view(QRectF(0, 0, 400, 300), frozen);
        if (!from.isNull()) {
            view.mouseDownAt(from);
            view.mouseDraggedTo(to);
        }
        QImage canvas(400, 300, QImage::Format_RGB32);
        QPainter painter(&canvas);
        view.paintOverlay(painter, QRegion(canvas.rect()));
        painter.end();

        const QRgb pixel = canvas.pixel(probe);
        const QRgb original = frozen.pixel(probe);
        const bool looksRight = look == Look::Frozen ? pixel == original
            : look == Look::Dimmed                   ? distance(pixel, dimmed(original)) <= 2
            : look == Look::White                    ? qGray(pixel) > 200
                                                     : qGray(pixel) < qGray(dimmed(original)) * 0.6;
        QVERIFY2(looksRight, qPrintable(QString::number(pixel, 16)));
    }

    void drags_data()
    {
        QTest::addColumn<QPointF>("from");
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<QRectF>("reported"); // null: none
        // clang-format off
        QTest::newRow("10 wide does not complete") << QPointF(100, 100) << QPointF(110, 150) << QRectF();
        QTest::newRow("down and right") << QPointF(100, 100) << QPointF(300.7, 200.2) << QRectF(1540, 100, 200.7, 100.2);
        QTest::newRow("up and left") << QPointF(300.7, 200.2) << QPointF(100, 100) << QRectF(1540, 100, 200.7, 100.2);
        QTest::newRow("kept on its screen") << QPointF(350, 250) << QPointF(900, -40) << QRectF(1790, 0, 50, 250);
        // clang-format on
    }

    void drags()
    {
        QFETCH(QPointF, from);
        QFETCH(QPointF, to);
        QFETCH(QRectF, reported);
        ScreenshotOverlayView view(QRectF(1440, 0, 400, 300), QImage());
        QList<QRectF> completed;
        view.onSelectionComplete = [&](const QRectF& r) { completed << r; };
        view.mouseDownAt(from);
        view.mouseDraggedTo(to);
        view.mouseUpAt(to);
        QCOMPARE(completed, reported.isNull() ? QList<QRectF>() : QList<QRectF> { reported });
        // Too small: back to the start, where the hint card shows again.
        QVERIFY(!reported.isNull() || (!view.isDragging && view.selectionRect().isNull()));
        QCOMPARE(view.sizeLabelText(QRectF(0, 0, 300.7, 200.2)), QStringLiteral("300 × 200"));
    }

    void crop_data()
    {
        QTest::addColumn<QList<ScreenInfo>>("screens");
        QTest::addColumn<QRectF>("region");
        QTest::addColumn<int>("screen"); // whose picture the JPEG shows; -1: none
        QTest::addColumn<QRect>("pixels"); // where in that picture
        const ScreenInfo one { "one", QRectF(0, 0, 800, 600), QRectF(0, 0, 800, 600), 1 };
        const ScreenInfo two { "two", QRectF(0, 0, 800, 600), QRectF(0, 0, 800, 600), 2 };
        const ScreenInfo twoRight { "two", QRectF(800, 0, 800, 600), QRectF(800, 0, 800, 600), 2 };
        const ScreenInfo apart { "apart", QRectF(1000, 0, 800, 600), QRectF(1000, 0, 800, 600), 1 };
        // clang-format off
        QTest::newRow("2x, 50 below the top") << QList { two } << QRectF(100, 50, 300, 200) << 0 << QRect(200, 100, 600, 400);
        QTest::newRow("centre on no screen") << QList { one, apart } << QRectF(700, 100, 400, 100) << -1 << QRect();
        QTest::newRow("1x beside 2x, on the 1x") << QList { one, twoRight } << QRectF(100, 100, 200, 100) << 0 << QRect(100, 100, 200, 100);
        QTest::newRow("1x beside 2x, on the 2x") << QList { one, twoRight } << QRectF(900, 100, 200, 100) << 1 << QRect(200, 200, 400, 200);
        QTest::newRow("zero size") << QList { one } << QRectF(100, 100, 0, 0) << -1 << QRect();
        QTest::newRow("off the picture") << QList { one } << QRectF(-300, -300, 100, 100) << -1 << QRect();
        // clang-format on
    }

    void crop()
    {
        QFETCH(QList<ScreenInfo>, screens);
        QFETCH(QRectF, region);
        QFETCH(int, screen);
        QFETCH(QRect, pixels);
        fakes.screens->all = screens;
        for (const ScreenInfo& s : screens)
            fakes.screenCapture->images << pattern((s.frame.size() * s.scale).toSize());
        ScreenshotCaptureManager manager(*fakes);
        QList<std::pair<std::optional<QByteArray>, std::optional<QRectF>>> results;
        manager.completion = [&](auto jpeg, auto r) { results.append({ jpeg, r }); };
        manager.startCapture();
        QTRY_COMPARE(manager.overlayPanels().size(), screens.size());
        manager.handleSelection(region);
        QTRY_COMPARE(results.size(), 1);
        QCOMPARE(results.first().second, std::optional(region));
        QVERIFY(!fakes.screenCapture->pointerHidden);
        QCOMPARE(results.first().first.has_value(), screen >= 0);
        if (screen < 0)
            return;
        const QImage jpeg = QImage::fromData(*results.first().first, "JPEG");
        QCOMPARE(jpeg.size(), pixels.size());
        const QImage& picture = fakes.screenCapture->images.at(screen);
        for (const QPoint at : { QPoint(4, 4), QPoint(pixels.width() / 2, pixels.height() / 2),
                 QPoint(pixels.width() - 5, pixels.height() - 5) })
            QVERIFY(distance(jpeg.pixel(at), picture.pixel(pixels.topLeft() + at)) <= 6);
    }
};

QTEST_MAIN(TestScreenshot)
#include "tst_screenshot.moc"
