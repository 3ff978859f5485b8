#include "popup/answerdocument.h"
#include "popuptesting.h"

#include <QDesktopServices>
#include <QFontInfo>
#include <QQuickItem>
#include <QQuickTextDocument>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

Q_DECLARE_METATYPE(StubService::Reply)

// The card's views, loaded from the compiled-in QML and driven through the view model.
class PopupViewsTest : public QObject, PopupFixture {
    Q_OBJECT

    QStringList m_opened; // schemes of the links handed to the desktop

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

public:
    Q_INVOKABLE void open(const QUrl& url) { m_opened << url.scheme(); }

private slots:
    void init()
    {
        setUp();
        controller->showPopup(std::nullopt);
        QVERIFY(window() && QTest::qWaitForWindowExposed(window()));
    }

    void eachStateShowsOnlyItsParts_data()
    {
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<bool>("ask");
        QTest::addColumn<QStringList>("expected");
        // clang-format off
        QTest::newRow("loading: only the dots") << StubService::Reply { 200, {}, {}, true } << false << QStringList { "loadingDots", "followUpField" };
        QTest::newRow("answer") << StubService::Reply { 200, StubService::explanationBody("New.") } << false << QStringList { "answerText", "followUpField" };
        QTest::newRow("error, in red in place of the answer") << StubService::Reply { 502, "bad gateway", "text/plain" } << false << QStringList { "errorText", "followUpField" };
        QTest::newRow("ask mode: only the question") << StubService::Reply {} << true << QStringList { "queryField" };
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

    // Markdown rendered, selectable, 3 pixels between lines; a long answer scrolls inside the card and one too long
    // to lay out is cut with a note. Nothing is fetched: images and raw HTML stay text; only web and mail links open.
    void theAnswerIsRenderedSelectableAndLoadsNothing()
    {
        QTcpServer trap; // where the answer's images point
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        const QString away = QStringLiteral("http://127.0.0.1:%1/").arg(trap.serverPort());
        QQuickItem* text = item("answerText");
        QTextDocument* document = text->property("textDocument").value<QQuickTextDocument*>()->textDocument();
        QVERIFY(
            explainAnswered(QStringLiteral("# Pointers\n\nSee [the docs](https://example.org/p).\n\n```\nint *p;\n```"
                                           "\n\n![diagram](%1a.png) <img src=\"%1b.png\"> <b>bold?</b>")
                                .arg(away)));
        QCOMPARE(document->firstBlock().blockFormat().headingLevel(), 1);
        QCOMPARE(document->find(QStringLiteral("the docs")).charFormat().anchorHref(),
            QStringLiteral("https://example.org/p"));
        QVERIFY(QFontInfo(document->find(QStringLiteral("int *p;")).charFormat().font()).fixedPitch());
        const QString plain = document->toPlainText();
        QVERIFY2(plain.contains(away + QLatin1String("a.png")) && plain.contains(QLatin1String("<b>bold?</b>"))
                && !plain.contains(QChar::ObjectReplacementCharacter),
            qPrintable(plain));
        QTRY_COMPARE(text->opacity(), 1.0);
        QVERIFY(!trap.waitForNewConnection(300));
        const QStringList schemes { "http", "https", "mailto", "file", "javascript", "ftp" };
        for (const QString& scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
        for (const char* link : { "http://a.example/", "HTTPS://a.example/", "mailto:a@example.org",
                 "file:///etc/passwd", "javascript:alert(1)", "ftp://a.example/" })
            AnswerDocument::openLink(QLatin1String(link));
        for (const QString& scheme : schemes)
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(m_opened, QStringList({ "http", "https", "mailto" }));

        const QPoint start = text->mapToScene(QPointF(1, 12)).toPoint(),
                     end = text->mapToScene(QPointF(120, 12)).toPoint();
        QTest::mousePress(window(), Qt::LeftButton, {}, start);
        QTest::mouseMove(window(), (start + end) / 2);
        QTest::mouseMove(window(), end);
        QTest::mouseRelease(window(), Qt::LeftButton, {}, end);
        QVERIFY(!text->property("selectedText").toString().isEmpty() && text->property("readOnly").toBool());

        QVERIFY(explainAnswered(QStringLiteral("A long line of answer text that wraps.\n").repeated(60)));
        QTRY_VERIFY(item("answerScroller")->property("contentHeight").toReal() > item("answerScroller")->height());
        QVERIFY(shown("scrollIndicator"));
        QVERIFY(explainAnswered(QStringLiteral("word ").repeated(100'000)));
        QVERIFY(document->characterCount() < AnswerDocument::maximumShownLength + 200);
        QCOMPARE(document->lastBlock().text(), AnswerDocument::cutNote);
        for (const QTextBlock& block : { document->firstBlock(), document->lastBlock() })
            QVERIFY(block.blockFormat().lineHeightType() == QTextBlockFormat::LineDistanceHeight
                && block.blockFormat().lineHeight() == 3.0);
    }

    // Ask mode: Return with blanks keeps it; the question goes out trimmed, with the application. Follow-ups: blanks go
    // out neither by the button nor by Return, a word does by either, and nothing while an answer loads. Ask mode
    // again starts on an empty card, and the close button closes it.
    void aQuestionThenFollowUps()
    {
        stub->replyWithExplanation(QStringLiteral("Blue light scatters."));
        model->prepareForDirectQuery(AppContext { QStringLiteral("Viewer"), {}, {}, {} });
        QTRY_VERIFY(item("queryField") && item("queryField")->hasActiveFocus());
        type(QStringLiteral("   "));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(model->isAwaitingDirectQuery() && shown("queryField") && !model->isLoading());
        type(QStringLiteral("  why blue? "));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(settled(*model));
        QCOMPARE(sent(stub->requests().constFirst(), "selectedText"), "why blue?");
        QCOMPARE(sent(stub->requests().constFirst(), "appContext/appName"), "Viewer");

        const auto trySending = [&] {
            clickOn("sendButton");
            item("followUpField")->forceActiveFocus();
            QTest::keyClick(window(), Qt::Key_Return);
        };
        for (const QString& blank : { QString(), QStringLiteral("\t \t") }) {
            model->setFollowUpInput(blank);
            QVERIFY(!item("sendButton")->isEnabled());
            trySending();
            QVERIFY(model->followUpInput() == blank && !model->isLoading());
        }
        model->setFollowUpInput({});
        item("followUpField")->forceActiveFocus();
        type(QStringLiteral(" and red?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(model->isLoading() && model->followUpInput().isEmpty()); // a sent question starts loading at once
        QCOMPARE(item("followUpField")->property("text").toString(), QString());
        QVERIFY(settled(*model));
        QCOMPARE(stub->requests().size(), 2);
        QCOMPARE(sent(stub->requests().constLast(), "messages").toArray().last()[u"content"], "and red?");

        stub->setReply({ 200, {}, {}, true }); // this answer never comes
        model->setFollowUpInput(QStringLiteral("\tand green? "));
        clickOn("sendButton");
        QVERIFY(model->isLoading() && model->followUpInput().isEmpty() && !item("followUpField")->isEnabled());
        model->setFollowUpInput(QStringLiteral("more?"));
        QVERIFY(!item("sendButton")->isEnabled());
        trySending();
        QCOMPARE(model->followUpInput(), QStringLiteral("more?"));
        QTRY_COMPARE(stub->requests().size(), 3);

        model->prepareForDirectQuery(std::nullopt);
        QVERIFY(model->displayText().isEmpty() && model->conversationLength() == 0 && model->contentOpacity() == 0.0);
        QTRY_VERIFY(item("queryField"));
        QCOMPARE(item("queryField")->property("text").toString(), QString());
        clickOn("closeButton");
        QTRY_VERIFY(!controller->panel());
    }
};

QTEST_MAIN(PopupViewsTest)
#include "tst_popupviews.moc"
