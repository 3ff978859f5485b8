#include "popup/popupviewmodel.h"
#include "service/quilloraapiclient.h"
#include "settings/appsettings.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <thread>

using Reply = StubService::Reply;

namespace {

const AppContext editorContext { QStringLiteral("Text Editor"), QStringLiteral("org.gnome.TextEditor"),
    QStringLiteral("text_editor"), QStringLiteral("notes.txt") };

QList<QPair<QString, QString>> turnsOf(const ConversationHistory& history)
{
    QList<QPair<QString, QString>> turns;
    for (const auto& message : history)
        turns.append({ messageRoleName(message.role), message.content });
    return turns;
}

QList<QPair<QString, QString>> turnsSentIn(const StubService::Request& request)
{
    QList<QPair<QString, QString>> turns;
    for (const auto& value : request.json().value(QStringLiteral("messages")).toArray()) {
        const QJsonObject message = value.toObject();
        turns.append({ message.value(QStringLiteral("role")).toString(), message.value(QStringLiteral("content")).toString() });
    }
    return turns;
}

using Turns = QList<QPair<QString, QString>>;
const QString user = QStringLiteral("user");
const QString assistant = QStringLiteral("assistant");

} // namespace

class PopupViewModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupViewModel> model;

    // Waits for the request in flight to end and checks what every ending shares.
    bool settle()
    {
        if (!QTest::qWaitFor([&] { return !model->isLoading(); }, 10000))
            return false;
        return model->contentOpacity() == 1.0;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        AppSettings::shared().setCustomSystemPrompt({});
        stub = std::make_unique<StubService>();
        model = std::make_unique<PopupViewModel>(
            new QuilloraAPIClient(stub->url(), "test-token", TestCerts::trustingTestCA()));
    }

    void cleanup()
    {
        model.reset();
        stub.reset();
    }

    void explanationStoresTwoTurnsAndRevealsTheAnswer()
    {
        AppSettings::shared().setCustomSystemPrompt(QStringLiteral("Answer like a pirate."));
        stub->replyWithExplanation(QStringLiteral("A monad is a burrito."));
        QSignalSpy loading(model.get(), &PopupViewModel::isLoadingChanged);

        model->explain(QStringLiteral("monad"), editorContext);
        // While the request runs the card shows nothing but the dots.
        QVERIFY(model->isLoading());
        QCOMPARE(model->contentOpacity(), 0.0);
        QVERIFY(model->displayText().isEmpty());
        QVERIFY(!model->hasError());

        QVERIFY(settle());
        QCOMPARE(model->displayText(), QStringLiteral("A monad is a burrito."));
        QVERIFY(!model->hasError());
        QCOMPARE(turnsOf(model->conversationHistory()),
            (Turns { { user, QStringLiteral("Explain: monad concisely") }, { assistant, QStringLiteral("A monad is a burrito.") } }));
        QCOMPARE(loading.count(), 2);

        const auto sent = stub->requests().constFirst().json();
        QCOMPARE(sent.value(QStringLiteral("selectedText")).toString(), QStringLiteral("monad"));
        QCOMPARE(sent.value(QStringLiteral("customSystemPrompt")).toString(), QStringLiteral("Answer like a pirate."));
        QCOMPARE(sent.value(QStringLiteral("appContext")).toObject().value(QStringLiteral("bundleID")).toString(),
            editorContext.bundleID);
    }

    void screenshotExplanationUsesItsOwnFirstTurn()
    {
        stub->replyWithExplanation(QStringLiteral("A bar chart of sales."));
        model->setCurrentAppContext(editorContext);
        model->resetForNewRequest();
        QCoro::waitFor(model->explainImage(QByteArray("\xff\xd8\xff\xe0", 4), editorContext));

        QVERIFY(settle());
        QCOMPARE(turnsOf(model->conversationHistory()),
            (Turns { { user, QStringLiteral("Explain this screenshot concisely") }, { assistant, QStringLiteral("A bar chart of sales.") } }));
        QCOMPARE(model->displayText(), QStringLiteral("A bar chart of sales."));
    }

    void eachFollowUpResendsTheWholeConversation()
    {
        stub->enqueue({ 200, StubService::explanationBody(QStringLiteral("First answer.")) });
        stub->enqueue({ 200, StubService::explanationBody(QStringLiteral("Second answer.")) });
        stub->enqueue({ 200, StubService::explanationBody(QStringLiteral("Third answer.")) });
        model->explain(QStringLiteral("entropy"), editorContext);
        QVERIFY(settle());

        model->setFollowUpInput(QStringLiteral("  and in physics? \n"));
        model->sendFollowUp(model->followUpInput());
        QVERIFY(model->followUpInput().isEmpty());
        QVERIFY(model->isLoading());
        QVERIFY(model->displayText().isEmpty());
        QVERIFY(settle());
        QCOMPARE(model->displayText(), QStringLiteral("Second answer."));

        model->sendFollowUp(QStringLiteral("shorter please"));
        QVERIFY(settle());
        QCOMPARE(model->displayText(), QStringLiteral("Third answer."));

        const auto requests = stub->requests();
        QCOMPARE(requests.size(), 3);
        const Turns firstTwo { { user, QStringLiteral("Explain: entropy concisely") }, { assistant, QStringLiteral("First answer.") } };
        const Turns secondSent = firstTwo + Turns { { user, QStringLiteral("and in physics?") } };
        QCOMPARE(turnsSentIn(requests[1]), secondSent);
        const Turns thirdSent = secondSent
            + Turns { { assistant, QStringLiteral("Second answer.") }, { user, QStringLiteral("shorter please") } };
        QCOMPARE(turnsSentIn(requests[2]), thirdSent);
        // The context of the conversation goes with every follow-up.
        QCOMPARE(requests[2].json().value(QStringLiteral("appContext")).toObject().value(QStringLiteral("appName")).toString(),
            editorContext.appName);
        QCOMPARE(model->conversationHistory().size(), 6);
    }

    void failedExplanationLeavesNoHistoryForTheFollowUp()
    {
        stub->enqueue({ 500, "boom", "text/plain" });
        model->explain(QStringLiteral("quark"), editorContext);
        QVERIFY(settle());
        QVERIFY(model->hasError());
        QCOMPARE(model->errorMessage(), QStringLiteral("Server error 500: boom"));
        QVERIFY(model->displayText().isEmpty());
        QVERIFY(model->conversationHistory().isEmpty());

        stub->replyWithExplanation(QStringLiteral("A particle."));
        model->sendFollowUp(QStringLiteral("what is a quark?"));
        QVERIFY(!model->hasError());
        QVERIFY(settle());
        QCOMPARE(turnsSentIn(stub->requests().at(1)), (Turns { { user, QStringLiteral("what is a quark?") } }));
        QCOMPARE(model->displayText(), QStringLiteral("A particle."));
    }

    void failedFollowUpIsResentBeforeTheNextQuestion()
    {
        stub->enqueue({ 200, StubService::explanationBody(QStringLiteral("Answer.")) });
        stub->enqueue({ 503, "" });
        stub->enqueue({ 200, StubService::explanationBody(QStringLiteral("Recovered.")) });
        model->explain(QStringLiteral("tcp"), editorContext);
        QVERIFY(settle());

        model->sendFollowUp(QStringLiteral("and udp?"));
        QVERIFY(settle());
        QVERIFY(model->hasError());
        QVERIFY(model->displayText().isEmpty());

        model->sendFollowUp(QStringLiteral("hello?"));
        QVERIFY(settle());
        QVERIFY(!model->hasError());
        const Turns sent = turnsSentIn(stub->requests().at(2));
        QCOMPARE(sent.size(), 4);
        QCOMPARE(sent.at(2), qMakePair(user, QStringLiteral("and udp?")));
        QCOMPARE(sent.at(3), qMakePair(user, QStringLiteral("hello?")));
    }

    void transportFailureEndsTheLoadingToo()
    {
        auto client = new QuilloraAPIClient(QUrl(QStringLiteral("https://127.0.0.1:1/v1/explain")), "t",
            TestCerts::trustingTestCA());
        model = std::make_unique<PopupViewModel>(client);
        model->explain(QStringLiteral("x"), std::nullopt);
        QVERIFY(settle());
        QVERIFY(model->hasError());
        QVERIFY(!model->errorMessage()->isEmpty());
    }

    void blankQuestionsChangeNothing()
    {
        stub->replyWithExplanation(QStringLiteral("Ok."));
        model->setFollowUpInput(QStringLiteral(" \t\n "));
        model->sendFollowUp(model->followUpInput());
        QCOMPARE(model->followUpInput(), QStringLiteral(" \t\n "));
        QVERIFY(!model->isLoading());

        model->prepareForDirectQuery(editorContext);
        QVERIFY(model->isAwaitingDirectQuery());
        model->submitDirectQuery(QStringLiteral("\n \t \r\n"));
        QVERIFY(model->isAwaitingDirectQuery());
        QVERIFY(!model->isLoading());
        QTest::qWait(50);
        QCOMPARE(stub->requests().size(), 0);

        model->submitDirectQuery(QStringLiteral("  why is the sky blue?\n"));
        QVERIFY(!model->isAwaitingDirectQuery());
        QVERIFY(model->isLoading());
        QVERIFY(settle());
        const auto sent = stub->requests().constFirst().json();
        QCOMPARE(sent.value(QStringLiteral("selectedText")).toString(), QStringLiteral("why is the sky blue?"));
        QCOMPARE(sent.value(QStringLiteral("appContext")).toObject().value(QStringLiteral("appName")).toString(),
            editorContext.appName);
        QCOMPARE(model->conversationHistory().constFirst().content, QStringLiteral("Explain: why is the sky blue? concisely"));
    }

    void prepareForDirectQueryClearsTheLastConversation()
    {
        stub->replyWithExplanation(QStringLiteral("Old answer."));
        model->explain(QStringLiteral("old"), std::nullopt);
        QVERIFY(settle());

        model->prepareForDirectQuery(editorContext);
        QVERIFY(model->isAwaitingDirectQuery());
        QVERIFY(!model->isLoading());
        QVERIFY(model->displayText().isEmpty());
        QVERIFY(model->conversationHistory().isEmpty());
        QCOMPARE(model->contentOpacity(), 0.0);
        QCOMPARE(model->currentAppContext(), std::optional<AppContext>(editorContext));
    }

    void canSendIgnoresSpacesAndTabsOnlyAndNeverWhileLoading()
    {
        QSignalSpy changed(model.get(), &PopupViewModel::canSendChanged);
        model->setFollowUpInput(QStringLiteral(" \t  "));
        QVERIFY(!model->canSend());
        model->setFollowUpInput(QStringLiteral("\n"));
        QVERIFY(model->canSend()); // line breaks are not trimmed here
        model->setFollowUpInput(QStringLiteral("\twhy?  "));
        QVERIFY(model->canSend());
        QVERIFY(changed.count() > 0);

        stub->setReply({ 200, {}, {}, true });
        model->explain(QStringLiteral("x"), std::nullopt);
        QVERIFY(!model->canSend());
    }

    void staleResultsNeverReplaceTheCurrentRequest_data()
    {
        QTest::addColumn<bool>("slowOneFails");
        QTest::addColumn<bool>("newerIsFollowUp");
        QTest::newRow("late answer, newer explanation") << false << false;
        QTest::newRow("late error, newer explanation") << true << false;
        QTest::newRow("late answer, follow-up started") << false << true;
    }
    void staleResultsNeverReplaceTheCurrentRequest()
    {
        QFETCH(bool, slowOneFails);
        QFETCH(bool, newerIsFollowUp);

        std::atomic<bool> release = false;
        std::atomic<bool> slowAnswered = false;
        stub->setHandler([&](const StubService::Request& request) -> Reply {
            if (request.json().value(QStringLiteral("selectedText")).toString() == QLatin1String("slow")) {
                while (!release)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                slowAnswered = true;
                if (slowOneFails)
                    return { 500, "late" };
                return { 200, StubService::explanationBody(QStringLiteral("Late answer.")) };
            }
            return { 200, StubService::explanationBody(QStringLiteral("Current answer.")) };
        });

        model->explain(QStringLiteral("slow"), std::nullopt);
        QVERIFY(stub->waitForRequests(1));
        if (newerIsFollowUp)
            model->sendFollowUp(QStringLiteral("meanwhile?"));
        else
            model->explain(QStringLiteral("fast"), std::nullopt);
        QVERIFY(settle());
        QCOMPARE(model->displayText(), QStringLiteral("Current answer."));
        const auto currentHistory = turnsOf(model->conversationHistory());

        release = true;
        QTRY_VERIFY(slowAnswered.load());
        QTest::qWait(300); // let the late reply reach the client
        QCOMPARE(model->displayText(), QStringLiteral("Current answer."));
        QVERIFY(!model->hasError());
        QVERIFY(!model->isLoading());
        QCOMPARE(turnsOf(model->conversationHistory()), currentHistory);
        if (newerIsFollowUp)
            QCOMPARE(currentHistory.constFirst(), qMakePair(user, QStringLiteral("meanwhile?")));
    }
};

QTEST_GUILESS_MAIN(PopupViewModelTest)
#include "tst_popupviewmodel.moc"
