#include "popup/placement.h"

#include <QTest>

namespace {

ScreenInfo screen(const QString& id, QRectF frame, QRectF visible) { return { id, frame, visible, 1.0 }; }

// One 1920 x 1080 screen with a 32 high top panel.
const ScreenInfo laptop = screen(QStringLiteral("laptop"), { 0, 0, 1920, 1080 }, { 0, 32, 1920, 1048 });
// Two screens side by side with different panels: the right one has a bottom panel of 48 and a left dock of 64.
const ScreenInfo left = screen(QStringLiteral("left"), { 0, 0, 1920, 1080 }, { 0, 32, 1920, 1048 });
const ScreenInfo right = screen(QStringLiteral("right"), { 1920, 0, 2560, 1440 }, { 1984, 0, 2496, 1392 });

const QSizeF popup = Placement::popupSize;

} // namespace

Q_DECLARE_METATYPE(QList<ScreenInfo>)

class PlacementTest : public QObject {
    Q_OBJECT

private slots:
    void nextToTheSelection_data()
    {
        QTest::addColumn<QList<ScreenInfo>>("screens");
        QTest::addColumn<QRectF>("anchor");
        QTest::addColumn<QRectF>("expected");

        const QList<ScreenInfo> one { laptop };
        QTest::newRow("room below: 12 under the selection, left edges aligned")
            << one << QRectF(100, 50, 200, 20) << QRectF(100, 82, 440, 540);
        QTest::newRow("near the bottom: opens above, 12 over the selection")
            << one << QRectF(300, 900, 200, 20) << QRectF(300, 900 - 12 - 540, 440, 540);
        QTest::newRow("exactly fits below with the margin")
            << one << QRectF(300, 1080 - 16 - 540 - 12 - 20, 200, 20) << QRectF(300, 1080 - 16 - 540, 440, 540);
        QTest::newRow("fits neither side: the below position clamped into the visible frame")
            << one << QRectF(400, 520, 300, 30) << QRectF(400, 1080 - 16 - 540, 440, 540);
        QTest::newRow("near the right edge: pushed left to the margin")
            << one << QRectF(1800, 100, 100, 20) << QRectF(1920 - 16 - 440, 132, 440, 540);
        QTest::newRow("left of the visible frame: pushed right to the margin")
            << one << QRectF(-30, 100, 100, 20) << QRectF(16, 132, 440, 540);
        QTest::newRow("bottom right corner: above, and pushed left")
            << one << QRectF(1850, 1000, 60, 20) << QRectF(1920 - 16 - 440, 1000 - 12 - 540, 440, 540);

        const QList<ScreenInfo> two { left, right };
        QTest::newRow("second screen: placed in its own visible frame (dock on the left)")
            << two << QRectF(1930, 200, 50, 20) << QRectF(1984 + 16, 232, 440, 540);
        QTest::newRow("second screen near its bottom panel: above")
            << two << QRectF(2500, 1300, 100, 20) << QRectF(2500, 1300 - 12 - 540, 440, 540);
        QTest::newRow("centre on the right screen, corner on the left one: right screen wins")
            << two << QRectF(1900, 300, 200, 20) << QRectF(1984 + 16, 332, 440, 540);
        QTest::newRow("centre outside every screen: the screen of the top-left corner")
            << two << QRectF(2000, 1400, 200, 200) << QRectF(2000, 1392 - 16 - 540, 440, 540);
        QTest::newRow("nowhere on any screen: the primary screen")
            << two << QRectF(-5000, -5000, 10, 10) << QRectF(16, 32 + 16, 440, 540);
    }
    void nextToTheSelection()
    {
        QFETCH(QList<ScreenInfo>, screens);
        QFETCH(QRectF, anchor);
        QFETCH(QRectF, expected);
        QCOMPARE(Placement::frameNearSelection(popup, anchor, screens, screens.first()), expected);
    }

    void withoutSelectionCentredOnThePointersScreen_data()
    {
        QTest::addColumn<QList<ScreenInfo>>("screens");
        QTest::addColumn<QPointF>("pointer");
        QTest::addColumn<QRectF>("expected");

        const qreal raise = 0.06 * 1048;
        QTest::newRow("one screen: centred, raised 6 % of the visible height")
            << QList<ScreenInfo> { laptop } << QPointF(10, 10)
            << QRectF(960 - 220, 32 + 524 - 270 - raise, 440, 540);
        QTest::newRow("pointer on the right screen")
            << QList<ScreenInfo> { left, right } << QPointF(3000, 700)
            << QRectF(1984 + 1248 - 220, 696 - 270 - 0.06 * 1392, 440, 540);
        QTest::newRow("pointer on the shared edge belongs to the right screen")
            << QList<ScreenInfo> { left, right } << QPointF(1920, 500)
            << QRectF(1984 + 1248 - 220, 696 - 270 - 0.06 * 1392, 440, 540);
        QTest::newRow("pointer off every screen: primary")
            << QList<ScreenInfo> { right, left } << QPointF(-100, -100)
            << QRectF(1984 + 1248 - 220, 696 - 270 - 0.06 * 1392, 440, 540);
        const ScreenInfo small = screen(QStringLiteral("small"), { 0, 0, 800, 560 }, { 0, 24, 800, 536 });
        QTest::newRow("screen smaller than the panel: top edge kept at the margin")
            << QList<ScreenInfo> { small } << QPointF(400, 300) << QRectF(180, 24 + 20, 440, 540);
    }
    void withoutSelectionCentredOnThePointersScreen()
    {
        QFETCH(QList<ScreenInfo>, screens);
        QFETCH(QPointF, pointer);
        QFETCH(QRectF, expected);
        QCOMPARE(Placement::frameOnPointerScreen(popup, pointer, screens, screens.first()), expected);
    }

    void noticesBesideThePointer_data()
    {
        QTest::addColumn<QList<ScreenInfo>>("screens");
        QTest::addColumn<QPointF>("pointer");
        QTest::addColumn<QRectF>("expected");

        const QSizeF notice(200, 44);
        QTest::newRow("room: right of and below the pointer")
            << QList<ScreenInfo> { laptop } << QPointF(500, 400) << QRectF(512, 408, notice.width(), notice.height());
        QTest::newRow("right edge: pushed in to 12 from it")
            << QList<ScreenInfo> { laptop } << QPointF(1900, 400) << QRectF(1920 - 12 - 200, 408, 200, 44);
        QTest::newRow("bottom edge: pushed up to 12 from it")
            << QList<ScreenInfo> { laptop } << QPointF(500, 1075) << QRectF(512, 1080 - 12 - 44, 200, 44);
        QTest::newRow("under the top panel: pushed down below it")
            << QList<ScreenInfo> { laptop } << QPointF(500, 2) << QRectF(512, 32 + 12, 200, 44);
        QTest::newRow("second screen's bottom panel")
            << QList<ScreenInfo> { left, right } << QPointF(4470, 1430) << QRectF(4480 - 12 - 200, 1392 - 12 - 44, 200, 44);
    }
    void noticesBesideThePointer()
    {
        QFETCH(QList<ScreenInfo>, screens);
        QFETCH(QPointF, pointer);
        QFETCH(QRectF, expected);
        QCOMPARE(Placement::frameNearPointer(expected.size(), pointer, screens, screens.first()), expected);
    }

    void withoutScreensStillAnswers()
    {
        const ScreenInfo none;
        QCOMPARE(Placement::frameOnPointerScreen(popup, { 5, 5 }, {}, none).size(), popup);
        QCOMPARE(Placement::frameNearSelection(popup, { 1, 2, 3, 4 }, {}, none).size(), popup);
        QCOMPARE(Placement::frameNearPointer({ 10, 10 }, { 5, 5 }, {}, none).size(), QSizeF(10, 10));
    }
};

QTEST_APPLESS_MAIN(PlacementTest)
#include "tst_placement.moc"
