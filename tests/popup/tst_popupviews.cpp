#include "popup/answerdocument.h"
#include "popuptesting.h"

#include <QFontInfo>
#include <QTcpServer>

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

    // Markdown rendered, still selectable, 3 pixels between lines; a long answer scrolls inside the fixed card and
    // one too long to lay out is cut with a note. Nothing in an answer is fetched: images and raw HTML stay text.
    void theAnswerIsRenderedSelectableAndLoadsNothing()
    {
        QTcpServer trap; // where the answer's image and HTML point
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        const QString away = QStringLiteral("http://127.0.0.1:%1/").arg(trap.serverPort());
        QQuickItem* text = item("answerText");
        QTextDocument* document = text->property("textDocument").value<QQuickTextDocument*>()->textDocument();
        auto lineSpacing = [&] {
            const QTextBlockFormat format = document->lastBlock().blockFormat();
            return format.lineHeightType() == QTextBlockFormat::LineDistanceHeight ? format.lineHeight() : -1.0;
        };
        auto fragment = [&](const QString& content) {
            for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
                for (auto it = block.begin(); !it.atEnd(); ++it)
                    if (it.fragment().text() == content)
                        return it.fragment().charFormat();
            return QTextCharFormat();
        };
        QVERIFY(explainAnswered(
            QStringLiteral("# Pointers\n\nUse *care* with `p` and [the docs](https://example.org/p).\n\n"
                           "- one\n- two\n\n```\nint *p;\n```\n\n![diagram](%1a.png) "
                           "<img src=\"%1b.png\"> <b>bold?</b>")
                .arg(away)));
        QCOMPARE(document->firstBlock().text(), QStringLiteral("Pointers"));
        QCOMPARE(document->firstBlock().blockFormat().headingLevel(), 1);
        QVERIFY(fragment(QStringLiteral("care")).fontItalic());
        QCOMPARE(fragment(QStringLiteral("the docs")).anchorHref(), QStringLiteral("https://example.org/p"));
        QVERIFY(QFontInfo(fragment(QStringLiteral("p")).font()).fixedPitch());
        QVERIFY(QFontInfo(fragment(QStringLiteral("int *p;")).font()).fixedPitch());
        QVERIFY(document->findBlock(document->toPlainText().indexOf(QLatin1String("two"))).textList());
        const QString plain = document->toPlainText();
        QVERIFY2(plain.contains(away + QLatin1String("a.png")) && plain.contains(QLatin1String("<b>bold?</b>")),
            qPrintable(plain));
        QVERIFY(!plain.contains(QChar::ObjectReplacementCharacter));
        QCOMPARE(lineSpacing(), 3.0);
        QTRY_COMPARE(text->opacity(), 1.0);
        QVERIFY(!trap.waitForNewConnection(300));

        const QPoint start = text->mapToScene(QPointF(1, 12)).toPoint();
        const QPoint end = text->mapToScene(QPointF(120, 12)).toPoint();
        QTest::mousePress(window(), Qt::LeftButton, {}, start);
        QTest::mouseMove(window(), (start + end) / 2);
        QTest::mouseMove(window(), end);
        QTest::mouseRelease(window(), Qt::LeftButton, {}, end);
        QVERIFY(!text->property("selectedText").toString().isEmpty());
        QVERIFY(text->property("readOnly").toBool());
        QVERIFY(!AnswerDocument::openLink(QStringLiteral("file:///etc/passwd")));

        QVERIFY(explainAnswered(QStringLiteral("A long line of answer text that wraps.\n").repeated(60)));
        QCOMPARE(lineSpacing(), 3.0);
        QQuickItem* scroller = item("answerScroller");
        QTRY_VERIFY(scroller->property("contentHeight").toReal() > scroller->height());
        QVERIFY(shown("scrollIndicator"));

        QVERIFY(explainAnswered(QStringLiteral("word ").repeated(1'000'000)));
        QVERIFY(document->characterCount() < AnswerDocument::maximumShownLength + 200);
        QCOMPARE(document->lastBlock().text(), AnswerDocument::cutNote);
        QCOMPARE(model->displayText().size(), 5'000'000); // cut on the card only
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
