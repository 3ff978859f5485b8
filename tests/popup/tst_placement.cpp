#include "popup/placement.h"

#include <QTest>

namespace {

ScreenInfo screen(const QString& id, QRectF frame, QRectF visible) { return { id, frame, visible, 1.0 }; }

// 1920 x 1080 with a 32 high top panel; on its right a 2560 x 1440 screen with a 48 bottom panel and a 64 left dock.
const ScreenInfo left = screen(QStringLiteral("left"), { 0, 0, 1920, 1080 }, { 0, 32, 1920, 1048 });
const ScreenInfo right = screen(QStringLiteral("right"), { 1920, 0, 2560, 1440 }, { 1984, 0, 2496, 1392 });
const QList<ScreenInfo> one { left };
const QList<ScreenInfo> two { left, right };

enum Kind { Card, CardWithoutSelection, Notice };
// The frame on the right screen without a selection: centred, raised 6 % of its visible height.
const QRectF centredOnRight(1984 + 1248 - 220, 696 - 270 - 0.06 * 1392, 440, 540);

} // namespace

Q_DECLARE_METATYPE(QList<ScreenInfo>)

// Each row: where a panel goes, given the selection (or, without one, the pointer at the rectangle's corner).
class PlacementTest : public QObject {
    Q_OBJECT

private slots:
    void framesOnTheScreens_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<ScreenInfo>>("screens");
        QTest::addColumn<QRectF>("at");
        QTest::addColumn<QRectF>("expected");
        auto row = [](const char* name, Kind kind, const QList<ScreenInfo>& screens, QRectF at, QRectF expected) {
            QTest::newRow(name) << int(kind) << screens << at << expected;
        };
        // clang-format off
        row("room below: 12 under the selection, left edges aligned", Card, one, { 100, 50, 200, 20 }, { 100, 82, 440, 540 });
        row("near the bottom: above, 12 over it", Card, one, { 300, 900, 200, 20 }, { 300, 900 - 12 - 540, 440, 540 });
        row("exactly fits below with the margin", Card, one, { 300, 1080 - 16 - 540 - 12 - 20, 200, 20 }, { 300, 1080 - 16 - 540, 440, 540 });
        row("fits neither side: below, clamped", Card, one, { 400, 520, 300, 30 }, { 400, 1080 - 16 - 540, 440, 540 });
        row("bottom right corner: above, pushed left", Card, one, { 1850, 1000, 60, 20 }, { 1920 - 16 - 440, 1000 - 12 - 540, 440, 540 });
        row("left of the visible frame: pushed right", Card, one, { -30, 100, 100, 20 }, { 16, 132, 440, 540 });
        row("second screen: inside its own visible frame", Card, two, { 1930, 200, 50, 20 }, { 1984 + 16, 232, 440, 540 });
        row("second screen, near its bottom panel: above", Card, two, { 2500, 1300, 100, 20 }, { 2500, 1300 - 12 - 540, 440, 540 });
        row("straddling: the screen of the centre", Card, two, { 1900, 300, 200, 20 }, { 1984 + 16, 332, 440, 540 });
        row("centre off screen: the screen of the corner", Card, two, { 2000, 1400, 200, 200 }, { 2000, 1392 - 16 - 540, 440, 540 });
        row("nowhere: the primary screen", Card, two, { -5000, -5000, 10, 10 }, { 16, 32 + 16, 440, 540 });

        row("no selection: centred, raised 6 %", CardWithoutSelection, one, { 10, 10, 0, 0 },
            { 960 - 220, 32 + 524 - 270 - 0.06 * 1048, 440, 540 });
        row("no selection, pointer on the right screen", CardWithoutSelection, two, { 3000, 700, 0, 0 }, centredOnRight);
        row("no selection, a shared edge is the right screen's", CardWithoutSelection, two, { 1920, 500, 0, 0 }, centredOnRight);
        row("no selection, pointer off screen: primary", CardWithoutSelection, { right, left }, { -100, -100, 0, 0 }, centredOnRight);
        row("no selection, screen smaller than the panel: top kept at the margin", CardWithoutSelection,
            { screen(QStringLiteral("small"), { 0, 0, 800, 560 }, { 0, 24, 800, 536 }) }, { 400, 300, 0, 0 }, { 180, 44, 440, 540 });

        row("notice: right of and below the pointer", Notice, one, { 500, 400, 0, 0 }, { 512, 408, 200, 44 });
        row("notice: pushed in from the right edge", Notice, one, { 1900, 400, 0, 0 }, { 1920 - 12 - 200, 408, 200, 44 });
        row("notice: pushed up from the bottom edge", Notice, one, { 500, 1075, 0, 0 }, { 512, 1080 - 12 - 44, 200, 44 });
        row("notice: below the top panel", Notice, one, { 500, 2, 0, 0 }, { 512, 32 + 12, 200, 44 });
        row("notice: the second screen's corner", Notice, two, { 4470, 1430, 0, 0 }, { 4480 - 12 - 200, 1392 - 12 - 44, 200, 44 });
        // clang-format on
    }
    void framesOnTheScreens()
    {
        QFETCH(int, kind);
        QFETCH(QList<ScreenInfo>, screens);
        QFETCH(QRectF, at);
        QFETCH(QRectF, expected);
        const QSizeF card = Placement::popupSize;
        const ScreenInfo& primary = screens.first();
        QCOMPARE(kind == Card ? Placement::frameNearSelection(card, at, screens, primary)
                : kind == CardWithoutSelection
                ? Placement::frameOnPointerScreen(card, at.topLeft(), screens, primary)
                : Placement::frameNearPointer(expected.size(), at.topLeft(), screens, primary),
            expected);
        // Without any screen each still answers with a frame of the asked size.
        QCOMPARE(Placement::frameNearSelection(card, at, {}, {}).size(), card);
        QCOMPARE(Placement::frameOnPointerScreen(card, at.topLeft(), {}, {}).size(), card);
    }
};

QTEST_APPLESS_MAIN(PlacementTest)
#include "tst_placement.moc"
