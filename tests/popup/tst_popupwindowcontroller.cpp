#include "popuptesting.h"

#include <QQuickItem>
#include <QQuickWindow>

using namespace std::chrono_literals;

// Which panel is on screen, where, and what closes it; the desktop is the fake platform.
class PopupWindowControllerTest : public QObject, PopupFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }

    // The screenshot's card sits in the middle of the frame placed 12 below the region: (100, 82, 440, 540).
    void aScreenshotIsExplainedInTheCardAtItsRegion()
    {
        stub->replyWithExplanation(QStringLiteral("A chart."));
        const AppContext viewer { QStringLiteral("Viewer"), {}, {}, {} };
        controller->showScreenshotExplanation(QByteArray("\xff\xd8\xff\xe0", 4), QRectF(100, 50, 200, 20), viewer);
        QCOMPARE(controller->panel()->geometry(), QRect(170, 152, 300, 400));
        QVERIFY(controller->panel()->flags() & Qt::WindowDoesNotAcceptFocus);
        QVERIFY(settled(*model));
        QCOMPARE(model->displayText(), QStringLiteral("A chart."));
        const StubService::Request request = stub->requests().constFirst();
        QCOMPARE(model->conversationHistory().constFirst().content, "Explain this screenshot concisely");
        QCOMPARE(sent(request, "imageBase64"), "/9j/4A==");
        QCOMPARE(sent(request, "appContext/appName"), viewer.appName);
    }

    // Each panel replaces the last, which is released; the conversation outlives the card that showed it.
    void onlyOnePanelIsEverShown()
    {
        controller->showPopup(std::nullopt);
        QVERIFY(explainAnswered(QStringLiteral("Kept.")));
        QPointer<QQuickWindow> card = controller->panel();
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        QPointer<QQuickWindow> notice = controller->panel();
        QVERIFY(notice && notice != card && notice->isVisible());
        QVERIFY(!card || !card->isVisible());

        controller->showPopup(QRectF(300, 900, 200, 20));
        QVERIFY(!notice || !notice->isVisible());
        QCOMPARE(controller->panel()->y(), 900 - 12 - 540 + 70); // above the selection
        QCOMPARE(controller->panel()->findChild<QQuickItem*>(QStringLiteral("answerText"))->property("text").toString(),
            QStringLiteral("Kept."));
        QTRY_VERIFY(!card && !notice);
    }

    // A notice's delay closes that notice only: a card opened before it runs out stays.
    void aNoticesDelayedCloseClosesThatNoticeOnly()
    {
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"), 100ms);
        QPointer<QQuickWindow> notice = controller->panel();
        controller->showPopup(std::nullopt);
        QPointer<QQuickWindow> card = controller->panel();
        QTRY_VERIFY(!notice);
        QTest::qWait(200);
        QVERIFY(card && card->isVisible() && controller->panel() == card);
    }

    void aNoticeWithoutSizeGetsTheFallbackAndCanCloseItself()
    {
        fakes.screens->pointer = QPointF(1900, 1070);
        controller->showNotice(QUrl::fromLocalFile(QStringLiteral(QT_TESTCASE_SOURCEDIR "/blanknotice.qml")),
            { { QStringLiteral("label"), QStringLiteral("hello") } });
        QQuickWindow* notice = controller->panel();
        QCOMPARE(notice ? notice->geometry() : QRect(), QRect(1920 - 12 - 280, 1080 - 12 - 44, 280, 44));
        QQuickItem* root = notice->contentItem()->childItems().value(0);
        QCOMPARE(root->property("label").toString(), QStringLiteral("hello"));
        QMetaObject::invokeMethod(root, "closeRequested");
        QTRY_VERIFY(!controller->panel());
        QVERIFY(!fakes.mouseDownMonitor->running);

        controller->showNotice(QUrl(QStringLiteral("qrc:/Quillora/popup/NoSuchView.qml")));
        QVERIFY(!controller->panel() && !fakes.mouseDownMonitor->running);
    }
};

QTEST_MAIN(PopupWindowControllerTest)
#include "tst_popupwindowcontroller.moc"
