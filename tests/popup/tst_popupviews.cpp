#include "fakeplatform.h"
#include "popup/popupwindowcontroller.h"
#include "popuptesting.h"

#include <QQuickItem>
#include <QQuickTextDocument>
#include <QQuickWindow>
#include <QTextBlock>
#include <QTextDocument>

Q_DECLARE_METATYPE(StubService::Reply)

// The card's views, loaded from the compiled-in QML and driven through the view model.
class PopupViewsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupWindowController> controller;
    PopupViewModel* model = nullptr;

    QQuickWindow* window() const { return controller->panel(); }
    QQuickItem* item(const QString& name) const { return window()->findChild<QQuickItem*>(name); }
    // On the card: the item and every ancestor visible.
    bool shown(const QString& name) const { return item(name) && item(name)->isVisible(); }
    void type(const QString& text) const { for (const QChar c : text) QTest::keyClick(window(), c.toLatin1()); }
    void clickOn(const QString& name) const
    {
        QQuickItem* target = item(name);
        QTest::mouseClick(window(), Qt::LeftButton, {}, target->mapToScene(target->boundingRect().center()).toPoint());
    }
    bool explainAnswered(const QString& answer)
    {
        stub->replyWithExplanation(answer);
        model->explain(QStringLiteral("a"), std::nullopt);
        return settled(*model);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        FakePlatform::install();
    }

    void init()
    {
        stub = std::make_unique<StubService>();
        controller = std::make_unique<PopupWindowController>(clientFor(*stub));
        model = controller->viewModel();
        controller->showPopup(std::nullopt);
        QVERIFY(window() && QTest::qWaitForWindowExposed(window()));
    }

    void cleanup()
    {
        controller.reset();
        stub.reset();
    }

    void eachStateShowsOnlyItsParts_data()
    {
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<bool>("ask");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("loading: only the dots") << StubService::Reply { 200, {}, {}, true } << false
                                                << QStringList { "loadingDots", "followUpField" };
        QTest::newRow("answer") << StubService::Reply { 200, StubService::explanationBody(QStringLiteral("New.")) }
                                << false << QStringList { "answerText", "followUpField" };
        QTest::newRow("error, in red in place of the answer") << StubService::Reply { 502, "bad gateway", "text/plain" }
                                                              << false << QStringList { "errorText", "followUpField" };
        QTest::newRow("ask mode: only the question") << StubService::Reply {} << true << QStringList { "queryField" };
    }
    void eachStateShowsOnlyItsParts()
    {
        QFETCH(StubService::Reply, reply);
        QFETCH(bool, ask);
        QFETCH(QStringList, expected);
        QVERIFY(explainAnswered(QStringLiteral("Earlier answer.")));
        stub->setReply(reply);
        if (ask)
            model->prepareForDirectQuery(std::nullopt);
        else
            model->explain(QStringLiteral("b"), std::nullopt);
        if (!ask && !reply.stall)
            QVERIFY(settled(*model));
        for (const char* part : { "loadingDots", "answerText", "errorText", "queryField", "followUpField" })
            QVERIFY2(shown(QLatin1String(part)) == expected.contains(QLatin1String(part)), part);
        QVERIFY(shown(QStringLiteral("closeButton")));
        QCOMPARE(window()->size(), QSize(300, 400));
        if (reply.stall) {
            QCOMPARE(item(QStringLiteral("answerText"))->property("text").toString(), QString());
            QCOMPARE(item(QStringLiteral("answerText"))->opacity(), 0.0);
        }
        if (reply.status == 502) {
            QCOMPARE(item(QStringLiteral("errorText"))->property("text").toString(), QStringLiteral("Server error 502: bad gateway"));
            const QColor colour = item(QStringLiteral("errorText"))->property("color").value<QColor>();
            QVERIFY2(colour.red() > 200 && colour.green() < 90 && colour.blue() < 80, qPrintable(colour.name()));
            QVERIFY(item(QStringLiteral("followUpField"))->isEnabled());
        }
    }

    // Verbatim and selectable, 3 pixels between lines, and a long one scrolls inside the fixed card.
    void theAnswerCanBeSelectedAndKeepsItsLayout()
    {
        QQuickItem* text = item(QStringLiteral("answerText"));
        auto lineSpacing = [&] {
            const QTextBlockFormat format = text->property("textDocument").value<QQuickTextDocument*>()->textDocument()->lastBlock().blockFormat();
            return format.lineHeightType() == QTextBlockFormat::LineDistanceHeight ? format.lineHeight() : -1.0;
        };
        const QString answer = QStringLiteral("Use <b>bold</b> & *stars*\nsecond line");
        QVERIFY(explainAnswered(answer));
        QCOMPARE(text->property("text").toString(), answer);
        QCOMPARE(lineSpacing(), 3.0);
        QTRY_COMPARE(text->opacity(), 1.0);
        const QPoint start = text->mapToScene(QPointF(1, 8)).toPoint();
        const QPoint end = text->mapToScene(QPointF(120, 8)).toPoint();
        QTest::mousePress(window(), Qt::LeftButton, {}, start);
        QTest::mouseMove(window(), (start + end) / 2);
        QTest::mouseMove(window(), end);
        QTest::mouseRelease(window(), Qt::LeftButton, {}, end);
        QVERIFY(!text->property("selectedText").toString().isEmpty());
        QVERIFY(text->property("readOnly").toBool());

        QVERIFY(explainAnswered(QStringLiteral("A long line of answer text that wraps.\n").repeated(60)));
        QCOMPARE(lineSpacing(), 3.0);
        QQuickItem* scroller = item(QStringLiteral("answerScroller"));
        QTRY_VERIFY(scroller->property("contentHeight").toReal() > scroller->height());
        QVERIFY(shown(QStringLiteral("scrollIndicator")));
    }

    void theFollowUpWaitsForTheAnswerThenReturnSendsIt()
    {
        stub->setReply({ 200, {}, {}, true });
        model->explain(QStringLiteral("a"), std::nullopt);
        QVERIFY(stub->waitForRequests(1));
        model->setFollowUpInput(QStringLiteral("more?"));
        QVERIFY(!item(QStringLiteral("followUpField"))->isEnabled());
        QVERIFY(!item(QStringLiteral("sendButton"))->isEnabled());
        item(QStringLiteral("followUpField"))->forceActiveFocus();
        QTest::keyClick(window(), Qt::Key_Return);
        clickOn(QStringLiteral("sendButton"));
        QCOMPARE(model->followUpInput(), QStringLiteral("more?"));

        model->setFollowUpInput({});
        QVERIFY(explainAnswered(QStringLiteral("Answer.")));
        item(QStringLiteral("followUpField"))->forceActiveFocus();
        type(QStringLiteral("why?"));
        QCOMPARE(model->followUpInput(), QStringLiteral("why?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(stub->waitForRequests(3));
        QCOMPARE(stub->requests().size(), 3);
        QCOMPARE(item(QStringLiteral("followUpField"))->property("text").toString(), QString());
    }

    void theSendButtonNeedsMoreThanSpacesAndTabs_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("spaces") << QStringLiteral("   ") << false;
        QTest::newRow("tabs and spaces") << QStringLiteral("\t \t") << false;
        QTest::newRow("a word among them") << QStringLiteral(" \tok ") << true;
    }
    void theSendButtonNeedsMoreThanSpacesAndTabs()
    {
        QFETCH(QString, input);
        QFETCH(bool, enabled);
        model->setFollowUpInput(input);
        QCOMPARE(item(QStringLiteral("sendButton"))->isEnabled(), enabled);
        clickOn(QStringLiteral("sendButton"));
        QCOMPARE(model->isLoading(), enabled); // a sent question starts loading at once
        QVERIFY(!enabled || stub->waitForRequests(1));
    }

    // Return with blanks keeps ask mode; the close button closes the card here too.
    void returnWithBlankTextKeepsAskMode()
    {
        stub->replyWithExplanation(QStringLiteral("Blue light scatters."));
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item(QStringLiteral("queryField")) && item(QStringLiteral("queryField"))->hasActiveFocus());
        type(QStringLiteral("   "));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(model->isAwaitingDirectQuery() && shown(QStringLiteral("queryField")));

        type(QStringLiteral("why blue?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(settled(*model));
        QVERIFY(shown(QStringLiteral("answerText")));
        QCOMPARE(stub->requests().size(), 1);
        QCOMPARE(stub->requests().constFirst().json().value(QStringLiteral("selectedText")).toString(), QStringLiteral("why blue?"));
        // Ask mode again starts with an empty question.
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item(QStringLiteral("queryField")));
        QCOMPARE(item(QStringLiteral("queryField"))->property("text").toString(), QString());
        clickOn(QStringLiteral("closeButton"));
        QTRY_VERIFY(!controller->panel());
    }
};

QTEST_MAIN(PopupViewsTest)
#include "tst_popupviews.moc"
