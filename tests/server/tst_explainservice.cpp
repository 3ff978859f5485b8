// quillora-service against a stub model API that records what it receives: the chat request built for each kind
// of request the program's client sends, the model's answers and failures as sentences, what never reaches the model.
#include "service/quilloraapiclient.h"
#include "servicetesting.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using Call = std::function<QCoro::Task<ExplanationResult>(QuilloraAPIClient&)>;
Q_DECLARE_METATYPE(StubService::Reply)
Q_DECLARE_METATYPE(StubService::Tls)
Q_DECLARE_METATYPE(Call)

namespace {

const QByteArray upstreamKey = "sk-upstream-secret";
const QString secretText = QStringLiteral("the-selected-secret");
const QString secretAnswer = QStringLiteral("the-model-answer");

QByteArray chatAnswer(const QString& content)
{
    return R"({"choices":[{"message":{"role":"assistant","content":")" + content.toUtf8() + R"("}}]})";
}
// One piece of a streamed chat answer, as OpenAI-compatible APIs send it.
QByteArray chatPiece(const QByteArray& content)
{
    return R"(data: {"choices":[{"index":0,"delta":{"content":")" + content + "\"}}]}\n\n";
}
const QByteArray chatDone = "data: [DONE]\n\n";

QByteArray streamRequest(const QByteArray& body)
{
    return postRequest(body).replace("Connection: close\r\n", "Connection: close\r\nAccept: text/event-stream\r\n");
}

AppContext context(const QString& category) { return { "Konsole", "org.kde.konsole", category, "build: make" }; }
QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QProcessEnvironment environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLORA_UPSTREAM_KEY", QString::fromLatin1(upstreamKey));
    env.insert("QUILLORA_SERVICE_TOKENS", "other-token, test-token");
    env.insert("SSL_CERT_FILE", TestCerts::path("ca.pem")); // the system's trust, for these tests: the test CA
    return env;
}

} // namespace

class ExplainServiceTest : public QObject {
    Q_OBJECT

    StubService m_model { StubService::Tls::None };
    ServiceProcess m_service; // finds its model through /models
    QStringList m_logs;

private slots:
    void initTestCase()
    {
        m_model.setHandler([](const StubService::Request& request) {
            if (request.path == "/v1/models")
                return StubService::Reply { 200, R"({"data":[{"id":"first-model"},{"id":"second-model"}]})" };
            return StubService::Reply { 200, chatAnswer(secretAnswer) };
        });
        QVERIFY(m_service.start({ "--upstream-url", m_model.url("/v1").toString() }, environment()));
    }

    void cleanupTestCase()
    {
        // One line per request, none of them holding a text, an answer, an image or a key.
        // The model list is asked once, at start; every request carries the key.
        const auto received = m_model.requests();
        QCOMPARE(received.constFirst().path, "/v1/models");
        for (const auto& request : received.mid(1)) {
            QCOMPARE(request.path, "/v1/chat/completions");
            QCOMPARE(request.headers.value("authorization"), "Bearer " + upstreamKey);
        }
        const QString log = m_service.log() + m_logs.join(QString());
        QVERIFY(log.count(QStringLiteral("/v1/explain")) >= 20);
        for (const QString& secret : { secretText, secretAnswer, QString::fromLatin1(upstreamKey),
                 QStringLiteral("test-token"), QStringLiteral("/9j/"), QStringLiteral("Explain") })
            QVERIFY2(!log.contains(secret), qPrintable(secret));
    }

    void eachRequestKindBecomesItsChatRequest_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<QStringList>("systemHas");
        QTest::addColumn<QStringList>("systemLacks");
        QTest::addColumn<QByteArray>("turns"); // after the system prompt
        const auto row = [](const char* name, Call call, const QStringList& has, const QStringList& lacks,
                             const QByteArray& turns) { QTest::newRow(name) << call << has << lacks << turns; };
        row(
            "text in a terminal, with the user's instructions",
            [](auto& client) { return client.explain(secretText, "Answer in French.", context("terminal")); },
            { "terminal", "\"Konsole\"", "\"build: make\"", "Answer in French." }, { "code editor" },
            R"([{"role":"user","content":"Explain: the-selected-secret concisely"}])");
        row(
            "code without context or instructions", [](auto& client) { return client.explain("int x;", {}, {}); },
            { "concise" }, { "own instructions", "Context reported" },
            R"([{"role":"user","content":"Explain: int x; concisely"}])");
        row(
            "screenshot in a code editor",
            [](auto& client) {
                return client.explainImage(QByteArray::fromBase64("/9j/4AAQ"), {}, context("code_editor"));
            },
            { "code editor" }, { "terminal" },
            R"([{"role":"user","content":[{"type":"text","text":"Explain this screenshot concisely"},)"
            R"({"type":"image_url","image_url":{"url":"data:image/jpeg;base64,/9j/4AAQ"}}]}])");
        row(
            "follow-up keeps the conversation's order",
            [](auto& client) {
                return client.followUp({ ConversationMessage::make(MessageRole::User, "one"),
                                           ConversationMessage::make(MessageRole::Assistant, "two"),
                                           ConversationMessage::make(MessageRole::User, "three") },
                    {}, context("communication"));
            },
            { "chat or e-mail" }, {},
            R"([{"role":"user","content":"one"},{"role":"assistant","content":"two"},)"
            R"({"role":"user","content":"three"}])");
    }

    void eachRequestKindBecomesItsChatRequest()
    {
        QFETCH(Call, call);
        QFETCH(QStringList, systemHas);
        QFETCH(QStringList, systemLacks);
        QFETCH(QByteArray, turns);
        QuilloraAPIClient client(QStringLiteral("http://127.0.0.1:%1/v1/explain").arg(m_service.port()), "test-token");
        client.setUserId(QStringLiteral("U1"));
        const ExplanationResult result = QCoro::waitFor(call(client));
        QVERIFY(result.isSuccess());
        QCOMPARE(result.explanation(), secretAnswer);

        const QJsonObject chat = m_model.requests().constLast().json();
        QCOMPARE(chat["model"].toString(), QStringLiteral("first-model"));
        const QJsonArray messages = chat["messages"].toArray();
        QCOMPARE(messages.first()["role"].toString(), QStringLiteral("system"));
        const QString system = messages.first()["content"].toString();
        for (const QString& part : systemHas)
            QVERIFY2(system.contains(part), qPrintable(part + " not in: " + system));
        for (const QString& part : systemLacks)
            QVERIFY2(!system.contains(part), qPrintable(part + " in: " + system));
        QCOMPARE(messages.toVariantList().mid(1), QJsonDocument::fromJson(turns).array().toVariantList());
    }

    void badRequestsNeverReachTheModel_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray good = R"({"selectedText":"x"})";
        QTest::newRow("not JSON") << postRequest("selectedText=x") << 400;
        QTest::newRow("no request field") << postRequest(R"({"userId":"U"})") << 400;
        QTest::newRow("two request fields") << postRequest(R"({"selectedText":"x","messages":[]})") << 400;
        QTest::newRow("text is a number") << postRequest(R"({"selectedText":5})") << 400;
        QTest::newRow("context is text") << postRequest(R"({"selectedText":"x","appContext":"Konsole"})") << 400;
        QTest::newRow("context without name")
            << postRequest(R"({"selectedText":"x","appContext":{"bundleID":"","appCategory":"general"}})") << 400;
        QTest::newRow("bad Base64") << postRequest(R"({"imageBase64":"a*b=","mediaType":"image/jpeg"})") << 400;
        QTest::newRow("not an image type") << postRequest(R"({"imageBase64":"AAAA","mediaType":"text/html"})") << 400;
        QTest::newRow("conversation ends with the answer")
            << postRequest(R"({"messages":[{"role":"user","content":"a"},{"role":"assistant","content":"b"}]})") << 400;
        QTest::newRow("unknown role") << postRequest(R"({"messages":[{"role":"system","content":"a"}]})") << 400;
        QTest::newRow("text too long") << postRequest(json({ { "selectedText", QString(100'001, u'a') } })) << 413;
        QTest::newRow("body over 16 MiB")
            << QByteArray("POST /v1/explain HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer test-token\r\n"
                          "Content-Length: 16777217\r\n\r\n{")
            << 413;
        QTest::newRow("no token") << postRequest(good, {}) << 401;
        QTest::newRow("unknown token, answered before the body") << QByteArray(
            "POST /v1/explain HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer nope\r\n"
            "Content-Length: 1000000\r\n\r\n{") << 401;
        QTest::newRow("built-in token when others are configured") << postRequest(good, "plumtreebarn") << 401;
        QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400;
    }

    void badRequestsNeverReachTheModel()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const qsizetype before = m_model.requests().size();
        const HttpAnswer answer = exchange(m_service.port(), request);
        QCOMPARE(answer.status, status);
        // One sentence a person can read in the card.
        QVERIFY2(answer.body.endsWith('.') && answer.body.count(". ") == 0 && answer.body.size() < 200, answer.body);
        QCOMPARE(m_model.requests().size(), before);
    }

    // The model's answers and failures, as the answer or one sentence naming the model; asked for events, its pieces
    // and then the whole, a failure before the first piece answered as any other and one after it as an event.
    void theModelsAnswersAndFailuresBecomeSentences_data()
    {
        using R = StubService::Reply;
        using Tls = StubService::Tls;
        QTest::addColumn<Tls>("tls");
        QTest::addColumn<QString>("upstream"); // empty: the stub model
        QTest::addColumn<R>("reply");
        QTest::addColumn<bool>("streamed");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArrayList>("says");
        const auto row = [](const char* name, const R& reply, int status, const QByteArray& says) {
            QTest::newRow(name) << Tls::None << QString() << reply << false << status << QByteArrayList { says };
        };
        const auto streamed = [](const char* name, const R& reply, int status, const QByteArrayList& says) {
            QTest::newRow(name) << Tls::None << QString() << reply << true << status << says;
        };
        QTest::newRow("https signed by a trusted CA") << Tls::TestCA << QString() << R { 200, chatAnswer("a") } << false
                                                      << 200 << QByteArrayList { R"({"explanation":"a"})" };
        QTest::newRow("https not trusted") << Tls::Untrusted << QString() << R { 200, chatAnswer("a") } << false << 502
                                           << QByteArrayList { "the secure connection failed" };
        QTest::newRow("nothing listens")
            << Tls::None << QStringLiteral("http://127.0.0.1:1/v1") << R {} << false << 502
            << QByteArrayList { "could not be reached: connection refused. Check that it runs, or pass another "
                                "--upstream-url." };
        row("key refused", { 401, "{}" }, 502, "QUILLORA_UPSTREAM_KEY");
        row("rate limited", { 429, "{}" }, 503, "rate limit");
        row("server error", { 500, "oops" }, 502, "failed with status 500");
        row("not JSON", { 200, "<html>" }, 502, "could not read");
        row("no answer in time", { 200, {}, {}, true }, 504, "within 1 seconds");

        const QByteArray hello = chatPiece("Hel") + chatPiece("lo, ") + chatPiece("w\\u00f6rld") + chatDone;
        streamed("events: piece by piece",
            StubService::paced({ chatPiece("Hel"), chatPiece("lo, "), chatPiece("w\\u00f6rld"), chatDone }), 200,
            { "\r\nevent: delta\ndata: {\"text\":\"Hel\"}\n\n\r\n",
                "event: done\ndata: {\"explanation\":\"Hello, w\xc3\xb6rld\"}\n\n" });
        streamed("events: cut anywhere", StubService::paced({ hello.first(7), hello.sliced(7, 60), hello.sliced(67) }),
            200, { "{\"explanation\":\"Hello, w\xc3\xb6rld\"}" });
        streamed("events from a model that answers at once", { 200, chatAnswer("Whole.") }, 200,
            { "event: done\ndata: {\"explanation\":\"Whole.\"}" });
        streamed("events: fails before the first piece", { 500, "oops" }, 502, { "failed with status 500" });
        streamed("events: an error after the first piece",
            StubService::paced({ chatPiece("Par"), "data: {\"error\":{\"message\":\"overloaded\"}}\n\n" }), 200,
            { "data: {\"text\":\"Par\"}", "event: error\ndata: {\"error\":\"The language model at http://127.0.0.1:" });
        streamed("events: silent after the first piece", StubService::paced({ chatPiece("Par"), chatPiece("t") }, 3000),
            200, { "\"status\":504" });
        streamed("events: an unreadable piece", StubService::paced({ "data: {not json\n\n" }), 502,
            { "failed in the middle of its answer" });
        streamed("events: a piece that never ends", StubService::paced({ "data: " + QByteArray(2 * 1024 * 1024, 'a') }),
            502, { "failed in the middle of its answer" });
    }

    void theModelsAnswersAndFailuresBecomeSentences()
    {
        QFETCH(StubService::Tls, tls);
        QFETCH(QString, upstream);
        QFETCH(StubService::Reply, reply);
        QFETCH(bool, streamed);
        QFETCH(int, status);
        QFETCH(QByteArrayList, says);
        StubService model(tls);
        model.setReply(reply);
        upstream = upstream.isEmpty() ? model.url("/v1").toString() : upstream;
        ServiceProcess service;
        QVERIFY(
            service.start({ "--upstream-url", upstream, "--model", "m", "--upstream-timeout", "1" }, environment()));
        const QByteArray body = R"({"selectedText":"x"})";
        const HttpAnswer answer = exchange(service.port(), streamed ? streamRequest(body) : postRequest(body));
        QCOMPARE(answer.status, status);
        for (const QByteArray& said : says)
            QVERIFY2(answer.body.contains(said), answer.body.left(300));
        if (status != 200)
            QVERIFY2(answer.body.startsWith("The language model at " + upstream.toUtf8() + " "), answer.body.left(300));
        if (!model.requests().isEmpty())
            QCOMPARE(model.requests().constFirst().json()["stream"].toBool(), streamed);
        m_logs << service.log();
    }

    void limitsRefuseWhatIsTooMuch()
    {
        StubService model(StubService::Tls::None);
        model.setReply({ 200, chatAnswer("a"), "application/json", true }); // holds every request
        ServiceProcess service;
        QVERIFY(service.start({ "--upstream-url", model.url("/v1").toString(), "--model", "m", "--max-in-flight", "1",
                                  "--rate-per-user", "2", "--rate-per-address", "4" },
            environment()));
        const auto asUser = [](const char* user) {
            return postRequest(json({ { "selectedText", "x" }, { "userId", user } }));
        };

        QTcpSocket waiting; // fills the one place in flight
        waiting.connectToHost("127.0.0.1", service.port());
        QVERIFY(waiting.waitForConnected());
        waiting.write(asUser("A"));
        QVERIFY(model.waitForRequests(1));
        QCOMPARE(exchange(service.port(), asUser("B")).status, 503);
        QCOMPARE(exchange(service.port(), asUser("A")).status, 503);
        QCOMPARE(exchange(service.port(), asUser("A")).status, 429); // A's two requests this minute are used
        QCOMPARE(exchange(service.port(), asUser("C")).status, 429); // the fifth from this address
        QCOMPARE(exchange(service.port(), "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 200);
        QCOMPARE(model.requests().size(), 1);
        m_logs << service.log();
    }

    // A client that leaves mid-answer stops the model's answer; connections to the model are kept between
    // requests, and one the model has closed meanwhile is replaced.
    void streamsEndWithTheirClientAndConnectionsAreKept()
    {
        StubService stub(StubService::Tls::None);
        stub.setIdleTimeout(1);
        stub.setReply({ 200, chatAnswer("a") });
        stub.enqueue(StubService::paced(QByteArrayList(100'000, chatPiece("word ")), 20)); // endless
        ServiceProcess service;
        QVERIFY(service.start({ "--upstream-url", stub.url("/v1").toString(), "--model", "m" }, environment()));

        QTcpSocket leaving;
        leaving.connectToHost("127.0.0.1", service.port());
        QVERIFY(leaving.waitForConnected());
        leaving.write(streamRequest(R"({"selectedText":"x"})"));
        QVERIFY(QTest::qWaitFor([&] { return leaving.waitForReadyRead(100) && leaving.readAll().contains("word"); }));
        leaving.close();
        QTRY_COMPARE_WITH_TIMEOUT(stub.abandonedReplies(), 1, 10000);

        for (int i = 0; i < 3; ++i)
            QCOMPARE(exchange(service.port(), postRequest(R"({"selectedText":"x"})")).status, 200);
        QTest::qWait(1500); // the model closes the idle connection
        QCOMPARE(exchange(service.port(), postRequest(R"({"selectedText":"x"})")).status, 200);
        const QList<StubService::Request> requests = stub.requests();
        QCOMPARE(requests.size(), 5);
        QCOMPARE(requests[2].remotePort, requests[1].remotePort);
        QCOMPARE(requests[3].remotePort, requests[1].remotePort);
        QVERIFY(requests[4].remotePort != requests[3].remotePort);
        m_logs << service.log();
    }
};

QTEST_GUILESS_MAIN(ExplainServiceTest)
#include "tst_explainservice.moc"
