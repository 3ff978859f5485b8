#include "popuptesting.h"

#include <QQuickItem>
#include <QQuickTextDocument>
#include <QQuickWindow>
#include <QTextBlock>
#include <QTextDocument>

Q_DECLARE_METATYPE(StubService::Reply)

// The card's views, loaded from the compiled-in QML and driven through the view model.
class PopupViewsTest : public QObject, PopupFixture {
    Q_OBJECT

    QQuickWindow* window() const { return controller->panel(); }
    QQuickItem* item(const QString& name) const { return window()->findChild<QQuickItem*>(name); }
    // On the card: the item and every ancestor visible.
    bool shown(const QString& name) const { return item(name) && item(name)->isVisible(); }
    void type(const QString& text) const
    {
        for (const QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
    }
    void clickOn(const QString& name) const
    {
        QTest::mouseClick(
            window(), Qt::LeftButton, {}, item(name)->mapToScene(item(name)->boundingRect().center()).toPoint());
    }

private slots:
    void init()
    {
        setUp();
        controller->showPopup(std::nullopt);
        QVERIFY(window() && QTest::qWaitForWindowExposed(window()));
    }

    void eachStateShowsOnlyItsParts_data()
    {
        // clang-format off
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<bool>("ask");
        QTest::addColumn<QStringList>("expected");
        auto row = [](const char* name, StubService::Reply reply, bool ask, const QStringList& expected) {
            QTest::newRow(name) << reply << ask << expected;
        };
        row("loading: only the dots", { 200, {}, {}, true }, false, { "loadingDots", "followUpField" });
        row("answer", { 200, StubService::explanationBody("New.") }, false, { "answerText", "followUpField" });
        row("error, in red in place of the answer", { 502, "bad gateway", "text/plain" }, false, { "errorText", "followUpField" });
        row("ask mode: only the question", {}, true, { "queryField" });
        // clang-format on
    }
    void eachStateShowsOnlyItsParts()
    {
        QFETCH(StubService::Reply, reply);
        QFETCH(bool, ask);
        QFETCH(QStringList, expected);
        QVERIFY(explainAnswered(QStringLiteral("Earlier answer.")));
        stub->setReply(reply);
        ask ? model->prepareForDirectQuery(std::nullopt) : model->explain(QStringLiteral("b"), std::nullopt);
        QVERIFY(ask || reply.stall || settled(*model));
        for (const char* part : { "loadingDots", "answerText", "errorText", "queryField", "followUpField" })
            QVERIFY2(shown(QLatin1String(part)) == expected.contains(QLatin1String(part)), part);
        QVERIFY(shown("closeButton"));
        QCOMPARE(window()->size(), QSize(300, 400));
        if (reply.stall)
            QVERIFY(item("answerText")->property("text").toString().isEmpty() && item("answerText")->opacity() == 0.0);
        if (reply.status == 502) {
            QCOMPARE(item("errorText")->property("text").toString(), QStringLiteral("Server error 502: bad gateway"));
            const QColor colour = item("errorText")->property("color").value<QColor>();
            QVERIFY2(colour.red() > 200 && colour.green() < 90 && colour.blue() < 80, qPrintable(colour.name()));
            QVERIFY(item("followUpField")->isEnabled());
        }
    }

    // Verbatim and selectable, 3 pixels between lines, and a long one scrolls inside the fixed card.
    void theAnswerCanBeSelectedAndKeepsItsLayout()
    {
        QQuickItem* text = item("answerText");
        auto lineSpacing = [&] {
            const QTextBlockFormat format = text->property("textDocument")
                                                .value<QQuickTextDocument*>()
                                                ->textDocument()
                                                ->lastBlock()
                                                .blockFormat();
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
        QQuickItem* scroller = item("answerScroller");
        QTRY_VERIFY(scroller->property("contentHeight").toReal() > scroller->height());
        QVERIFY(shown("scrollIndicator"));
    }

    // Neither the send button nor Return sends blanks, or anything while an answer is loading.
    void aFollowUpNeedsAWordAndNoAnswerLoading_data()
    {
        // clang-format off
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("loading");
        QTest::addColumn<bool>("sends");
        QTest::newRow("empty") << QString() << false << false;
        QTest::newRow("spaces") << QStringLiteral("   ") << false << false;
        QTest::newRow("tabs and spaces") << QStringLiteral("\t \t") << false << false;
        QTest::newRow("a word among them") << QStringLiteral(" \tok ") << false << true;
        QTest::newRow("a word while the answer loads") << QStringLiteral("more?") << true << false;
        // clang-format on
    }
    void aFollowUpNeedsAWordAndNoAnswerLoading()
    {
        QFETCH(QString, input);
        QFETCH(bool, loading);
        QFETCH(bool, sends);
        if (loading) {
            stub->setReply({ 200, {}, {}, true });
            model->explain(QStringLiteral("a"), std::nullopt);
        }
        model->setFollowUpInput(input);
        QCOMPARE(item("sendButton")->isEnabled(), sends);
        QCOMPARE(item("followUpField")->isEnabled(), !loading);
        clickOn("sendButton");
        item("followUpField")->forceActiveFocus();
        QTest::keyClick(window(), Qt::Key_Return);
        QCOMPARE(model->followUpInput(), sends ? QString() : input);
        QCOMPARE(model->isLoading(), loading || sends); // a sent question starts loading at once
        QTRY_COMPARE(stub->requests().size(), int(loading || sends));
    }

    void aTypedQuestionIsSentWithReturn()
    {
        QVERIFY(explainAnswered(QStringLiteral("Answer.")));
        item("followUpField")->forceActiveFocus();
        type(QStringLiteral("why?"));
        QCOMPARE(model->followUpInput(), QStringLiteral("why?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QTRY_COMPARE(stub->requests().size(), 2);
        QCOMPARE(item("followUpField")->property("text").toString(), QString());
    }

    // Return with blanks keeps ask mode; the close button closes the card here too.
    void returnWithBlankTextKeepsAskMode()
    {
        stub->replyWithExplanation(QStringLiteral("Blue light scatters."));
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item("queryField") && item("queryField")->hasActiveFocus());
        type(QStringLiteral("   "));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(model->isAwaitingDirectQuery() && shown("queryField"));

        type(QStringLiteral("why blue?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(settled(*model));
        QCOMPARE(stub->requests().size(), 1);
        QCOMPARE(sent(stub->requests().constFirst(), QStringLiteral("selectedText")).toString(),
            QStringLiteral("why blue?"));
        model->prepareForDirectQuery(std::nullopt);
        QTRY_VERIFY(item("queryField"));
        QCOMPARE(item("queryField")->property("text").toString(), QString());
        clickOn("closeButton");
        QTRY_VERIFY(!controller->panel());
    }
};

QTEST_MAIN(PopupViewsTest)
#include "tst_popupviews.moc"
