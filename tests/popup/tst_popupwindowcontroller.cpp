#include "fakeplatform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace std::chrono_literals;

// Which panel is on screen, where, and what closes it; the desktop is the fake platform.
class PopupWindowControllerTest : public QObject {
    Q_OBJECT

    FakePlatform fakes {};
    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupWindowController> controller;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        fakes = FakePlatform::install();
        stub = std::make_unique<StubService>();
        controller = std::make_unique<PopupWindowController>(
            new QuilloraAPIClient(stub->url(), "test-token", TestCerts::trustingTestCA()));
    }

    void cleanup()
    {
        controller.reset();
        stub.reset();
    }

    void theCardSitsInTheMiddleOfThePlacedPanelFrame_data()
    {
        QTest::addColumn<std::optional<QRectF>>("anchor");
        QTest::addColumn<QPointF>("pointer");
        QTest::addColumn<QRect>("expected");
        // Panel frame (100, 82, 440, 540): 12 below the selection; the 300 x 400 card is centred in it.
        QTest::newRow("below a selection") << std::optional<QRectF>(QRectF(100, 50, 200, 20)) << QPointF(5, 5)
                                           << QRect(170, 152, 300, 400);
        // Panel frame (740, 32 + 524 - 270 - 62.88, 440, 540).
        QTest::newRow("no selection: the pointer's screen") << std::optional<QRectF>() << QPointF(5, 5)
                                                            << QRect(810, 293, 300, 400);
    }
    void theCardSitsInTheMiddleOfThePlacedPanelFrame()
    {
        QFETCH(std::optional<QRectF>, anchor);
        QFETCH(QPointF, pointer);
        QFETCH(QRect, expected);
        fakes.screens->pointer = pointer;
        controller->showPopup(anchor);
        QVERIFY(controller->panel());
        QCOMPARE(controller->panel()->geometry(), expected);
        QVERIFY(controller->panel()->isVisible());
        QVERIFY(controller->panel()->flags() & Qt::WindowDoesNotAcceptFocus);
        QVERIFY(controller->panel()->flags() & Qt::WindowStaysOnTopHint);
    }

    void onlyOnePanelIsEverShown()
    {
        controller->showPopup(QRectF(100, 50, 200, 20));
        QPointer<QQuickWindow> first = controller->panel();
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        QPointer<QQuickWindow> notice = controller->panel();
        QVERIFY(notice && notice != first);
        QVERIFY(!first || !first->isVisible());

        controller->showPopup(QRectF(300, 900, 200, 20));
        QVERIFY(!notice || !notice->isVisible());
        QCOMPARE(controller->panel()->y(), 900 - 12 - 540 + 70);
        QTRY_VERIFY(!first && !notice); // released, not kept for reuse
    }

    void aClickElsewhereClosesButAClickInsideDoesNot()
    {
        controller->showPopup(std::nullopt);
        QVERIFY(fakes.mouseDownMonitor->running);
        fakes.mouseDownMonitor->press(controller->panel()->geometry().center());
        QVERIFY(controller->panel());

        QSignalSpy closed(controller.get(), &PopupWindowController::panelClosed);
        fakes.mouseDownMonitor->press(QPointF(5, 900));
        QVERIFY(!controller->panel());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!fakes.mouseDownMonitor->running);
        // Closing again is harmless and says nothing.
        controller->closePopup();
        QCOMPARE(closed.count(), 1);
    }

    void anotherApplicationBecomingActiveClosesIt()
    {
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        fakes.frontmostApplication->activateOther();
        QTRY_VERIFY(!controller->panel());

        // With nothing shown the signal is not listened to.
        QSignalSpy closed(controller.get(), &PopupWindowController::panelClosed);
        fakes.frontmostApplication->activateOther();
        QTest::qWait(20);
        QCOMPARE(closed.count(), 0);
    }

    void aNoticesDelayClosesWhateverIsOpenThen()
    {
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"), 150ms);
        QVERIFY(controller->panel());
        controller->showPopup(std::nullopt);
        QPointer<QQuickWindow> popup = controller->panel();
        QTRY_VERIFY(!controller->panel());
        QVERIFY(!popup || !popup->isVisible());
    }

    void aNoticeWithoutSizeGetsTheFallbackAndCanCloseItself()
    {
        const QUrl view = QUrl::fromLocalFile(QStringLiteral(QT_TESTCASE_SOURCEDIR "/blanknotice.qml"));
        fakes.screens->pointer = QPointF(1900, 1070);
        controller->showNotice(view, { { QStringLiteral("label"), QStringLiteral("hello") } });
        QQuickWindow* notice = controller->panel();
        QVERIFY(notice);
        QCOMPARE(notice->size(), QSize(280, 44));
        // Pushed back inside the right and bottom edges with a 12 margin.
        QCOMPARE(notice->geometry(), QRect(1920 - 12 - 280, 1080 - 12 - 44, 280, 44));
        QQuickItem* root = notice->contentItem()->childItems().value(0);
        QVERIFY(root);
        QCOMPARE(root->property("label").toString(), QStringLiteral("hello"));

        QMetaObject::invokeMethod(root, "closeRequested");
        QTRY_VERIFY(!controller->panel());
    }

    void aViewThatCannotLoadShowsNothing()
    {
        controller->showNotice(QUrl(QStringLiteral("qrc:/Quillora/popup/NoSuchView.qml")));
        QVERIFY(!controller->panel());
        QVERIFY(!fakes.mouseDownMonitor->running);
    }

    void theConversationOutlivesThePanel()
    {
        stub->replyWithExplanation(QStringLiteral("Kept."));
        controller->showPopup(std::nullopt);
        controller->viewModel()->explain(QStringLiteral("x"), std::nullopt);
        QTRY_VERIFY(!controller->viewModel()->isLoading());
        controller->closePopup();
        QCOMPARE(controller->viewModel()->displayText(), QStringLiteral("Kept."));
        controller->showPopup(std::nullopt);
        QQuickItem* answer = controller->panel()->findChild<QQuickItem*>(QStringLiteral("answerText"));
        QCOMPARE(answer->property("text").toString(), QStringLiteral("Kept."));
    }

    void aScreenshotIsExplainedInTheCardAtItsRegion()
    {
        stub->replyWithExplanation(QStringLiteral("A chart."));
        const AppContext context { QStringLiteral("Viewer"), QStringLiteral("org.gnome.eog"), QStringLiteral("image_viewer"), {} };
        controller->showScreenshotExplanation(QByteArray("\xff\xd8\xff\xe0", 4), QRectF(100, 50, 200, 20), context);
        QVERIFY(controller->panel());
        QCOMPARE(controller->panel()->position(), QPoint(170, 152));
        QVERIFY(controller->viewModel()->isLoading());
        QCOMPARE(controller->viewModel()->currentAppContext(), std::optional<AppContext>(context));
        QTRY_VERIFY(!controller->viewModel()->isLoading());
        QCOMPARE(controller->viewModel()->displayText(), QStringLiteral("A chart."));
        const auto sent = stub->requests().constFirst().json();
        QCOMPARE(sent.value(QStringLiteral("imageBase64")).toString(), QStringLiteral("/9j/4A=="));
        QCOMPARE(sent.value(QStringLiteral("appContext")).toObject().value(QStringLiteral("appName")).toString(),
            QStringLiteral("Viewer"));
    }
};

QTEST_MAIN(PopupWindowControllerTest)
#include "tst_popupwindowcontroller.moc"
