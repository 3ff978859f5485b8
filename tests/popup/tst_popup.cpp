// The card against the stub service on the fake desktop: the request flows seen through the properties the card
// binds to and what is sent, which panel is on screen, where, and what closes it, and the card's views loaded from
// the compiled-in QML.
#include "fakeplatform.h"
#include "popup/answerdocument.h"
#include "popupstack.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QJsonArray>
#include <QMimeData>
#include <QQuickItem>
#include <QQuickTextDocument>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QWheelEvent>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Turns = QList<QPair<QString, QString>>;
const AppContext editor { QStringLiteral("Text Editor"), {}, {}, {} };

QString answer(int i) { return QStringLiteral("Answer %1.").arg(i); }
QString explainTurn(const QString& text) { return QStringLiteral("Explain: %1 concisely").arg(text); }

// Waits for the request in flight to end. Every ending, answer or error, stops the dots and shows the content.
bool settled(const PopupViewModel& model)
{
    return QTest::qWaitFor([&] { return !model.isLoading(); }, 10000) && model.contentOpacity() == 1.0;
}

// A value of the request's JSON body by its path, as in "appContext/appName".
QJsonValue sent(const StubService::Request& request, const QString& path)
{
    QJsonValue value = request.json();
    for (const QString& key : path.split(u'/'))
        value = value.toObject().value(key);
    return value;
}

} // namespace

Q_DECLARE_METATYPE(Turns)

class PopupTest : public QObject {
    Q_OBJECT

    // For each test: a controller on the fake desktop, talking to a fresh stub service.
    FakePlatform fakes {};
    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupStack> popup;
    PopupWindowController* controller = nullptr;
    PopupViewModel* model = nullptr;
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
    bool showCard()
    {
        controller->showPopup(std::nullopt);
        return window() && QTest::qWaitForWindowExposed(window());
    }
    // Explains some text, answered with this, and waits.
    bool explainAnswered(const QString& answer)
    {
        stub->replyWithExplanation(answer);
        model->explain(QStringLiteral("a"), std::nullopt);
        return settled(*model);
    }

public:
    Q_INVOKABLE void open(const QUrl& url) { m_opened << url.scheme(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        popup.reset();
        fakes = FakePlatform::make();
        stub = std::make_unique<StubService>();
        popup = std::make_unique<PopupStack>(*fakes, stub->url());
        controller = &popup->controller;
        model = &popup->model;
        popup->customSystemPrompt = QStringLiteral("Answer like a pirate.");
    }

    // Each request sends the conversation so far. A failed one adds no answer, so the question before it is
    // sent again with the next one.
    void eachFollowUpSendsTheConversationSoFar_data()
    {
        // clang-format off
        QTest::addColumn<int>("failing");
        QTest::addColumn<Turns>("lastSent");
        const Turns explained { { "user", explainTurn("tcp") }, { "assistant", answer(0) } };
        const Turns followUps { { "user", "and udp?" }, { "assistant", answer(1) }, { "user", "hello?" } };
        QTest::newRow("the explanation fails: the follow-up starts the conversation") << 0 << followUps;
        QTest::newRow("a follow-up fails: two questions in a row")
            << 1 << explained + Turns { { "user", "and udp?" }, { "user", "hello?" } };
        // clang-format on
    }
    void eachFollowUpSendsTheConversationSoFar()
    {
        QFETCH(int, failing);
        QFETCH(Turns, lastSent);
        for (int i = 0; i < 3; ++i)
            stub->enqueue(i == failing ? StubService::Reply { 500, "boom", "text/plain" }
                                       : StubService::Reply { 200, StubService::explanationBody(answer(i)) });
        model->explain(QStringLiteral("tcp"), editor);
        QVERIFY(model->contentOpacity() == 0.0);
        for (int i = 0; i < 3; ++i) {
            if (i == 1) {
                model->setFollowUpInput(QStringLiteral("  and udp? \n"));
                model->sendFollowUp(model->followUpInput());
                QVERIFY(model->followUpInput().isEmpty() && model->displayText().isEmpty());
            } else if (i == 2) {
                model->sendFollowUp(QStringLiteral("hello?"));
            }
            QVERIFY(model->isLoading() && !model->hasError()); // a new request clears the last error
            QVERIFY(settled(*model));
            QCOMPARE(model->errorMessageText(), i == failing ? "Server error 500: boom" : QString());
            QCOMPARE(model->displayText(), i == failing ? QString() : answer(i));
        }
        QCOMPARE(model->conversationLength(), lastSent.size() + 1);
        const auto requests = stub->requests();
        QCOMPARE(requests.size(), 3);
        Turns turns;
        for (const QJsonValue& message : sent(requests[2], "messages").toArray())
            turns.append({ message["role"].toString(), message["content"].toString() });
        QCOMPARE(turns, lastSent);
        QCOMPARE(sent(requests[0], "selectedText"), "tcp");
        for (const auto& request : requests)
            QVERIFY(sent(request, "appContext/appName") == editor.appName
                && sent(request, "customSystemPrompt") == "Answer like a pirate.");
    }

    // A long answer is kept, shown and resent cut: the card never holds, nor sends back, the whole of it.
    void longAnswersAreKeptCut()
    {
        const QString longAnswer = QString(PopupViewModel::maximumKeptAnswerLength, u'a') + QStringLiteral("\nrest");
        stub->enqueue({ 200, StubService::explanationBody(longAnswer) });
        model->explain(QStringLiteral("tcp"), editor);
        QVERIFY(settled(*model));
        const QString kept = model->displayText();
        QVERIFY(!kept.isEmpty() && kept.size() <= PopupViewModel::maximumKeptAnswerLength);
        QVERIFY(longAnswer.startsWith(kept));
        model->sendFollowUp(QStringLiteral("more?"));
        QVERIFY(settled(*model));
        QCOMPARE(sent(stub->requests().at(1), "messages").toArray().at(1)["content"].toString(), kept);
    }

    // A newer request aborts the one it supersedes: its result never shows, nor does it wait on the network.
    void supersededRequestsAreAbortedAndTheirResultsDropped_data()
    {
        QTest::addColumn<bool>("newerIsFollowUp");
        QTest::newRow("newer explanation") << false;
        QTest::newRow("follow-up started") << true;
    }
    void supersededRequestsAreAbortedAndTheirResultsDropped()
    {
        QFETCH(bool, newerIsFollowUp);
        // Shared with the stub's thread, which may look at it after this function returns.
        const auto release = std::make_shared<std::atomic<bool>>(false);
        const auto releaseOnExit = qScopeGuard([release] { *release = true; });
        stub->setHandler([release](const StubService::Request& request) -> StubService::Reply {
            if (sent(request, "selectedText") != "slow")
                return { 200, StubService::explanationBody("Current answer.") };
            while (!*release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return { 200, StubService::explanationBody("Late.") };
        });

        model->explain(QStringLiteral("slow"), std::nullopt);
        QVERIFY(stub->waitForRequests(1));
        newerIsFollowUp ? model->sendFollowUp(QStringLiteral("meanwhile?"))
                        : model->explain(QStringLiteral("fast"), std::nullopt);
        QCOMPARE(model->apiClient().requestsInFlight(), 1);
        QVERIFY(settled(*model));
        *release = true;
        QCOMPARE(model->apiClient().requestsInFlight(), 0);
        QCOMPARE(model->displayText(), QStringLiteral("Current answer."));
        QVERIFY(!model->hasError());
        const ConversationHistory current = model->conversationHistory();
        QCOMPARE(current.constFirst().content,
            newerIsFollowUp ? QStringLiteral("meanwhile?") : explainTurn(QStringLiteral("fast")));
        QCOMPARE(current.constLast().content, QStringLiteral("Current answer."));
    }
    // The screenshot's card sits in the middle of the frame placed 12 below the region: (100, 82, 440, 540).
    void aScreenshotIsExplainedInTheCardAtItsRegion()
    {
        stub->replyWithExplanation(QStringLiteral("A chart."));
        const AppContext viewer { QStringLiteral("Viewer"), {}, {}, {} };
        controller->showScreenshotExplanation(QByteArray("\xff\xd8\xff\xe0", 4), QRectF(100, 50, 200, 20), viewer);
        QTRY_VERIFY(controller->panel());
        QCOMPARE(controller->panel()->geometry(), QRect(170, 152, 300, 400));
        QVERIFY(controller->panel()->flags() & Qt::WindowDoesNotAcceptFocus);
        QVERIFY(settled(*model));
        QCOMPARE(model->displayText(), QStringLiteral("A chart."));
        QCOMPARE(sent(stub->requests().constFirst(), "appContext/appName"), viewer.appName);
    }

    // Each panel replaces the last, which is released; the conversation outlives the card that showed it. A
    // notice's delayed close closes that notice only: a card opened before it runs out stays.
    void onlyOnePanelIsEverShown()
    {
        controller->showPopup(std::nullopt);
        QVERIFY(explainAnswered(QStringLiteral("Kept.")));
        QPointer<QQuickWindow> card = controller->panel();
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"), 100ms);
        QPointer<QQuickWindow> notice = controller->panel();
        QVERIFY(notice && notice != card && notice->isVisible());
        QVERIFY(!card || !card->isVisible());

        controller->showPopup(QRectF(300, 900, 200, 20));
        QVERIFY(!notice || !notice->isVisible());
        QCOMPARE(controller->panel()->y(), 900 - 12 - 540 + 70); // above the selection
        QCOMPARE(controller->panel()->findChild<QQuickItem*>(QStringLiteral("answerText"))->property("text").toString(),
            QStringLiteral("Kept."));
        QTRY_VERIFY(!card && !notice);
        QTest::qWait(200);
        QVERIFY(controller->panel() && controller->panel()->isVisible());

        // A card is shown once its request has started; a panel shown or closed before then drops it.
        controller->showExplanation(QStringLiteral("b"), std::nullopt, std::nullopt);
        controller->showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        notice = controller->panel();
        QCoreApplication::processEvents();
        QCOMPARE(controller->panel(), notice.data());
        controller->closePopup();
        controller->showExplanation(QStringLiteral("c"), std::nullopt, std::nullopt);
        QVERIFY(controller->isShowingCard());
        controller->closePopup();
        QCoreApplication::processEvents();
        QVERIFY(!controller->panel());
        QTRY_COMPARE(model->apiClient().requestsInFlight(), 0);
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
    // Markdown rendered, code on its tint; an answer too long to lay out is cut with a note. Nothing is fetched:
    // images and raw HTML stay text; only web and mail links open.
    void theAnswerIsRenderedAndLoadsNothing()
    {
        QVERIFY(showCard());
        QTcpServer trap; // where the answer's images point
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        const QString away = QStringLiteral("http://127.0.0.1:%1/").arg(trap.serverPort());
        QQuickItem* text = item("answerText");
        QTextDocument* document = text->property("textDocument").value<QQuickTextDocument*>()->textDocument();
        QVERIFY(
            explainAnswered(QStringLiteral("# Pointers\n\nSee [the docs](https://example.org/p).\n\n```\nint *p;\n```"
                                           "\n\n![diagram](%1a.png) <img src=\"%1b.png\"> <b>bold?</b>")
                                .arg(away)));
        const QTextCursor code = document->find(QStringLiteral("int *p;"));
        QCOMPARE(code.charFormat().background().color(), text->property("codeBackground").value<QColor>());
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

        QVERIFY(explainAnswered(QStringLiteral("word ").repeated(100'000)));
        QVERIFY(document->characterCount() < AnswerDocument::maximumShownLength + 200);
        QCOMPARE(document->lastBlock().text(), AnswerDocument::cutNote);
    }

    // A streamed answer shows its first words in place of the dots and ends whole; Copy gives text and Markdown. One
    // that breaks off keeps what came, says it was cut off, and stays in the conversation.
    void aStreamedAnswerGrowsInTheCard()
    {
        QVERIFY(showCard());
        const auto events = [](QByteArrayList pieces) { return StubService::paced(pieces, 300); };
        const auto delta = [](const QByteArray& text) { return "event: delta\ndata: {\"text\":\"" + text + "\"}\n\n"; };
        stub->setReply(events({ delta("**Bold** start"), delta(" and more."),
            "event: done\ndata: {\"explanation\":\"**Bold** start and more.\"}\n\n" }));
        model->explain(QStringLiteral("x"), std::nullopt);
        QTRY_COMPARE(model->displayText(), QStringLiteral("**Bold** start"));
        QVERIFY(model->isLoading() && !shown("loadingDots") && shown("answerText") && !shown("copyButton"));
        QVERIFY(settled(*model));
        QCOMPARE(model->displayText(), QStringLiteral("**Bold** start and more."));
        clickOn("copyButton");
        const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(copied->text(), QStringLiteral("Bold start and more."));
        QCOMPARE(copied->data(QStringLiteral("text/markdown")), "**Bold** start and more.");

        stub->setReply(events({ delta("Par") }));
        model->sendFollowUp(QStringLiteral("more?"));
        QVERIFY(settled(*model));
        QCOMPARE(model->displayText(), QStringLiteral("Par"));
        QVERIFY(model->errorMessage()->startsWith(QStringLiteral("The answer was cut off here: ")));
        QVERIFY(shown("answerText") && shown("errorText"));
        QCOMPARE(model->conversationHistory().constLast().content, QStringLiteral("Par"));

        // A long answer keeps its newest line in view until the user scrolls up, and then stays where they are.
        stub->setReply(events(QByteArrayList(100, delta("A line.\\n\\nAnother line.\\n\\n"))));
        model->explain(QStringLiteral("x"), std::nullopt);
        QQuickItem* scroller = item("answerScroller");
        const auto end = [scroller] { return scroller->property("contentHeight").toReal() - scroller->height(); };
        QTRY_VERIFY(end() > 100 && scroller->property("contentY").toReal() == end());
        const QPointF middle = scroller->mapToScene(QPointF(scroller->width() / 2, scroller->height() / 2));
        QWheelEvent up(middle, middle, {}, QPoint(0, 120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(window(), &up);
        const qreal readingAt = scroller->property("contentY").toReal();
        QVERIFY(readingAt < end());
        QTRY_VERIFY(end() > readingAt + 200);
        QCOMPARE(scroller->property("contentY").toReal(), readingAt);
        clickOn("closeButton"); // the stream ends with its card
        QTRY_COMPARE(stub->abandonedReplies(), 1);
        QVERIFY(!model->isLoading() && model->apiClient().requestsInFlight() == 0);
    }

    // Ask mode and follow-ups: blanks are not sent, a question goes out trimmed by button or Return, nothing goes
    // while an answer loads; ask mode again starts on an empty card.
    void aQuestionThenFollowUps()
    {
        QVERIFY(showCard());
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
        model->setFollowUpInput(QStringLiteral("\t \t"));
        trySending();
        QVERIFY(model->followUpInput() == QStringLiteral("\t \t") && !model->isLoading());
        model->setFollowUpInput({});
        item("followUpField")->forceActiveFocus();
        type(QStringLiteral(" and red?"));
        QTest::keyClick(window(), Qt::Key_Return);
        QVERIFY(model->isLoading() && model->followUpInput().isEmpty()); // a sent question starts loading at once
        QVERIFY(settled(*model));
        QCOMPARE(stub->requests().size(), 2);
        QCOMPARE(sent(stub->requests().constLast(), "messages").toArray().last()[u"content"], "and red?");

        stub->setReply({ 200, {}, {}, true }); // this answer never comes
        model->setFollowUpInput(QStringLiteral("\tand green? "));
        clickOn("sendButton");
        QVERIFY(model->isLoading() && model->followUpInput().isEmpty() && !item("followUpField")->isEnabled());
        model->setFollowUpInput(QStringLiteral("more?"));
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

QTEST_MAIN(PopupTest)
#include "tst_popup.moc"
