#include "popuptesting.h"
#include "settings/appsettings.h"

#include <QScopeGuard>

#include <atomic>
#include <thread>

namespace {

using Turns = QList<QPair<QString, QString>>;
const AppContext editor { QStringLiteral("Text Editor"), {}, {}, {} };

QString answer(int i) { return QStringLiteral("Answer %1.").arg(i); }
QString explainTurn(const QString& text) { return QStringLiteral("Explain: %1 concisely").arg(text); }

} // namespace

Q_DECLARE_METATYPE(Turns)

// The request flows against the stub service, seen through the properties the card binds to and what is sent.
class PopupViewModelTest : public QObject, PopupFixture {
    Q_OBJECT

private slots:
    void init()
    {
        setUp();
        popup->customSystemPrompt = QStringLiteral("Answer like a pirate.");
    }

    // Each request sends the conversation so far. A failed one adds no answer, so the question before it is
    // sent again with the next one.
    void eachFollowUpSendsTheConversationSoFar_data()
    {
        // clang-format off
        QTest::addColumn<int>("failing"); // -1: none
        QTest::addColumn<Turns>("lastSent");
        const Turns explained { { "user", explainTurn("tcp") }, { "assistant", answer(0) } };
        const Turns followUps { { "user", "and udp?" }, { "assistant", answer(1) }, { "user", "hello?" } };
        QTest::newRow("no failure") << -1 << explained + followUps;
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
};

QTEST_MAIN(PopupViewModelTest)
#include "tst_popupviewmodel.moc"
