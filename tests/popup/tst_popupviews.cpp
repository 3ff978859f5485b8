#include "fakeplatform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"
#include "settings/appsettings.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QQuickItem>
#include <QQuickTextDocument>
#include <QTextBlock>
#include <QTextDocument>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>

namespace {
void typeText(QWindow* window, const QString& text)
{
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}
} // namespace

// The card's views, loaded from the compiled-in QML and driven through the view model.
class PopupViewsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupWindowController> controller;
    PopupViewModel* model = nullptr;

    QQuickItem* item(const char* name) const
    {
        QQuickWindow* window = controller->panel();
        return window ? window->findChild<QQuickItem*>(QLatin1String(name)) : nullptr;
    }
    // Visible on the card: the item and every ancestor shown.
    bool shown(const char* name) const
    {
        const QQuickItem* found = item(name);
        return found && found->isVisible();
    }
    bool settle() { return QTest::qWaitFor([&] { return !model->isLoading(); }, 10000); }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        FakePlatform::install();
    }

    void init()
    {
        stub = std::make_unique<StubService>();
        controller = std::make_unique<PopupWindowController>(
            new QuilloraAPIClient(stub->url(), "test-token", TestCerts::trustingTestCA()));
        model = controller->viewModel();
        controller->showPopup(std::nullopt);
        QVERIFY(controller->panel());
        QVERIFY(QTest::qWaitForWindowExposed(controller->panel()));
    }

    void cleanup()
    {
        controller.reset();
        stub.reset();
    }

    void theCardIsTheFixedSizeCardWithItsHeader()
    {
        QCOMPARE(controller->panel()->size(), QSize(300, 400));
        QVERIFY(shown("closeButton"));
        QVERIFY(shown("answerScroller"));
        QVERIFY(shown("followUpField"));
    }

    void whileLoadingOnlyTheDotsShow()
    {
        stub->replyWithExplanation(QStringLiteral("First answer."));
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(settle());
        QVERIFY(shown("answerText"));

        stub->setReply({ 200, {}, {}, true });
        model->explain(QStringLiteral("b"), std::nullopt);
        QVERIFY(shown("loadingDots"));
        QVERIFY(!shown("answerText"));
        QVERIFY(!shown("errorText"));
        QCOMPARE(item("answerText")->property("text").toString(), QString());
        QCOMPARE(item("answerText")->opacity(), 0.0);
    }

    void anErrorShowsInRedInPlaceOfTheAnswer()
    {
        stub->setReply({ 502, "bad gateway", "text/plain" });
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(settle());
        QVERIFY(shown("errorText"));
        QVERIFY(!shown("answerText"));
        QVERIFY(!shown("loadingDots"));
        QCOMPARE(item("errorText")->property("text").toString(), QStringLiteral("Server error 502: bad gateway"));
        const QColor colour = item("errorText")->property("color").value<QColor>();
        QVERIFY2(colour.red() > 200 && colour.green() < 90 && colour.blue() < 80, qPrintable(colour.name()));
        // The follow-up row stays available after an error.
        QVERIFY(item("followUpField")->isEnabled());
    }

    void theAnswerIsShownVerbatimAndCanBeSelected()
    {
        const QString answer = QStringLiteral("Use <b>bold</b> & *stars*\nsecond line");
        stub->replyWithExplanation(answer);
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(settle());
        QQuickItem* text = item("answerText");
        QVERIFY(shown("answerText"));
        QCOMPARE(text->property("text").toString(), answer);
        QTRY_COMPARE(text->opacity(), 1.0);

        // Drag across the first line: the text is selected for copying, not edited.
        QQuickWindow* window = controller->panel();
        const QPoint start = text->mapToScene(QPointF(1, 8)).toPoint();
        const QPoint end = text->mapToScene(QPointF(120, 8)).toPoint();
        QTest::mousePress(window, Qt::LeftButton, {}, start);
        QTest::mouseMove(window, (start + end) / 2);
        QTest::mouseMove(window, end);
        QTest::mouseRelease(window, Qt::LeftButton, {}, end);
        QVERIFY(!text->property("selectedText").toString().isEmpty());
        QCOMPARE(text->property("readOnly").toBool(), true);
    }

    void everyAnswerKeepsItsLineSpacing()
    {
        QQuickItem* text = item("answerText");
        auto spacingOfLastBlock = [&] {
            const QTextDocument* document = text->property("textDocument").value<QQuickTextDocument*>()->textDocument();
            const QTextBlockFormat format = document->lastBlock().blockFormat();
            return format.lineHeightType() == QTextBlockFormat::LineDistanceHeight ? format.lineHeight() : -1.0;
        };
        for (const QString& answer : { QStringLiteral("One\nTwo"), QStringLiteral("Three\nFour\nFive") }) {
            stub->replyWithExplanation(answer);
            model->explain(QStringLiteral("a"), std::nullopt);
            QVERIFY(settle());
            QCOMPARE(text->property("text").toString(), answer);
            QCOMPARE(spacingOfLastBlock(), 3.0);
        }
    }

    void aLongAnswerScrollsInsideTheCard()
    {
        stub->replyWithExplanation(QStringLiteral("A long line of answer text that wraps. ").repeated(80));
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(settle());
        QQuickItem* scroller = item("answerScroller");
        QTRY_VERIFY(scroller->property("contentHeight").toReal() > scroller->height());
        QVERIFY(shown("scrollIndicator"));
        QCOMPARE(controller->panel()->size(), QSize(300, 400));
        // The follow-up row stays inside the card.
        const QRectF row = item("followUpField")->mapRectToScene(item("followUpField")->boundingRect());
        QVERIFY(row.bottom() <= 400);
    }

    void theFollowUpFieldIsDisabledWhileLoading()
    {
        stub->setReply({ 200, {}, {}, true });
        model->explain(QStringLiteral("a"), std::nullopt);
        QQuickItem* field = item("followUpField");
        QVERIFY(!field->isEnabled());
        model->setFollowUpInput(QStringLiteral("more?"));
        QVERIFY(!item("sendButton")->isEnabled());

        QVERIFY(stub->waitForRequests(1));
        field->forceActiveFocus();
        QTest::keyClick(controller->panel(), Qt::Key_Return);
        QTest::qWait(50);
        QCOMPARE(stub->requests().size(), 1);
        QCOMPARE(model->followUpInput(), QStringLiteral("more?"));
    }

    void typingAndReturnSendTheFollowUp()
    {
        stub->replyWithExplanation(QStringLiteral("Answer."));
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(settle());
        QQuickItem* field = item("followUpField");
        field->forceActiveFocus();
        QVERIFY(field->hasActiveFocus());
        typeText(controller->panel(), QStringLiteral("why?"));
        QCOMPARE(model->followUpInput(), QStringLiteral("why?"));
        QTest::keyClick(controller->panel(), Qt::Key_Return);
        QVERIFY(stub->waitForRequests(2));
        QVERIFY(model->followUpInput().isEmpty());
        QCOMPARE(field->property("text").toString(), QString());
    }

    void theSendButtonFollowsCanSend_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("spaces") << QStringLiteral("   ") << false;
        QTest::newRow("tabs and spaces") << QStringLiteral("\t \t") << false;
        QTest::newRow("a word among blanks") << QStringLiteral(" \tok ") << true;
    }
    void theSendButtonFollowsCanSend()
    {
        QFETCH(QString, input);
        QFETCH(bool, enabled);
        model->setFollowUpInput(input);
        QQuickItem* send = item("sendButton");
        QCOMPARE(send->isEnabled(), enabled);
        // Clicking a disabled button sends nothing.
        QTest::mouseClick(controller->panel(), Qt::LeftButton, {},
            send->mapToScene(QPointF(send->width() / 2, send->height() / 2)).toPoint());
        QTest::qWait(50);
        QCOMPARE(stub->requests().size(), enabled ? 1 : 0);
    }

    void askModeShowsOnlyTheQuestionField()
    {
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(shown("queryField"));
        QVERIFY(!shown("answerScroller"));
        QVERIFY(!shown("followUpField"));
        QVERIFY(shown("closeButton"));
    }

    void returnWithBlankTextKeepsAskMode()
    {
        stub->replyWithExplanation(QStringLiteral("Blue light scatters."));
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item("queryField"));
        QQuickItem* field = item("queryField");
        QTRY_VERIFY(field->hasActiveFocus());
        typeText(controller->panel(), QStringLiteral("   "));
        QTest::keyClick(controller->panel(), Qt::Key_Return);
        QTest::qWait(50);
        QVERIFY(model->isAwaitingDirectQuery());
        QVERIFY(shown("queryField"));
        QCOMPARE(stub->requests().size(), 0);

        typeText(controller->panel(), QStringLiteral("why blue?"));
        QTest::keyClick(controller->panel(), Qt::Key_Return);
        QVERIFY(!model->isAwaitingDirectQuery());
        QVERIFY(settle());
        QVERIFY(shown("answerText"));
        QCOMPARE(stub->requests().constFirst().json().value(QStringLiteral("selectedText")).toString(),
            QStringLiteral("why blue?"));

        // Entering ask mode again starts with an empty question.
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item("queryField"));
        QCOMPARE(item("queryField")->property("text").toString(), QString());
    }

    void theCloseButtonClosesThePanel()
    {
        QQuickItem* close = item("closeButton");
        QTest::mouseClick(controller->panel(), Qt::LeftButton, {},
            close->mapToScene(QPointF(close->width() / 2, close->height() / 2)).toPoint());
        QTRY_VERIFY(!controller->panel());
    }

    void aNoticeIsAsWideAsItsMessage()
    {
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        QQuickWindow* notice = controller->panel();
        QVERIFY(notice);
        const QSize shortSize = notice->size();
        QVERIFY(shortSize.width() > 100 && shortSize.width() < 300);
        QVERIFY(shortSize.height() >= 30 && shortSize.height() <= 60);

        controller->showSimpleNotice(QStringLiteral("exclamationmark.triangle"),
            QStringLiteral("Screenshot explanation needs X11 or the desktop's screenshot portal."));
        QVERIFY(controller->panel()->width() > shortSize.width());
    }
};

QTEST_MAIN(PopupViewsTest)
#include "tst_popupviews.moc"
