// quillora-service against a stub model API that records what it receives: the chat request built for each
// kind of request, the answers and failures passed back as sentences, and what never reaches the model.
#include "servicetesting.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

Q_DECLARE_METATYPE(StubService::Reply)

namespace {

const QByteArray upstreamKey = "sk-upstream-secret";
const QString secretText = QStringLiteral("the-selected-secret");
const QString secretAnswer = QStringLiteral("the-model-answer");

QByteArray chatAnswer(const QString& content)
{
    return QJsonDocument(QJsonObject { { "choices",
                             QJsonArray { QJsonObject {
                                 { "message", QJsonObject { { "role", "assistant" }, { "content", content } } } } } } })
        .toJson(QJsonDocument::Compact);
}

QJsonObject context(const QString& category)
{
    return { { "appName", "Konsole" }, { "bundleID", "org.kde.konsole" }, { "appCategory", category },
        { "windowTitle", "build: make" } };
}

QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QProcessEnvironment environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLORA_UPSTREAM_KEY", QString::fromLatin1(upstreamKey));
    env.insert("QUILLORA_SERVICE_TOKENS", "other-token, test-token");
    return env;
}

} // namespace

class ExplainServiceTest : public QObject {
    Q_OBJECT

    StubService m_model { StubService::Tls::None };
    ServiceProcess m_service; // finds its model through /models
    QStringList m_logs;

    QString upstreamUrl() const { return m_model.url(QStringLiteral("/v1")).toString(); }

    // The chat request the model received last.
    QJsonObject lastChat() const
    {
        const auto requests = m_model.requests();
        for (auto it = requests.crbegin(); it != requests.crend(); ++it)
            if (it->path == "/v1/chat/completions")
                return it->json();
        return {};
    }

private slots:
    void initTestCase()
    {
        m_model.setHandler([](const StubService::Request& request) {
            if (request.path == "/v1/models")
                return StubService::Reply { 200, R"({"data":[{"id":"first-model"},{"id":"second-model"}]})" };
            return StubService::Reply { 200, chatAnswer(secretAnswer) };
        });
        QVERIFY(m_service.start({ "--upstream-url", upstreamUrl() }, environment()));
    }

    void cleanupTestCase()
    {
        // One line per request, none of them holding a text, an answer, an image or a key.
        const QString log = m_service.log() + m_logs.join(QString());
        QVERIFY(log.count(QStringLiteral("/v1/explain")) >= 20);
        for (const QString& secret : { secretText, secretAnswer, QString::fromLatin1(upstreamKey),
                 QStringLiteral("test-token"), QStringLiteral("/9j/"), QStringLiteral("Explain") })
            QVERIFY2(!log.contains(secret), qPrintable(secret));
    }

    void eachRequestKindBecomesItsChatRequest_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QStringList>("systemHas");
        QTest::addColumn<QStringList>("systemLacks");
        QTest::addColumn<QJsonArray>("turns"); // after the system prompt; an image turn is checked by its parts

        QTest::newRow("text in a terminal, with the user's instructions")
            << QJsonObject { { "selectedText", secretText }, { "customSystemPrompt", "Answer in French." },
                   { "appContext", context("terminal") }, { "userId", "U1" } }
            << QStringList { "terminal", "\"Konsole\"", "\"build: make\"", "Answer in French." }
            << QStringList { "code editor" }
            << QJsonArray { QJsonObject {
                   { "role", "user" }, { "content", "Explain: " + secretText + " concisely" } } };
        QTest::newRow("code without context or instructions")
            << QJsonObject { { "selectedText", "int x;" } } << QStringList { "concise" }
            << QStringList { "own instructions", "Context reported" }
            << QJsonArray { QJsonObject { { "role", "user" }, { "content", "Explain: int x; concisely" } } };
        QTest::newRow("screenshot in a code editor")
            << QJsonObject { { "imageBase64", "/9j/4AAQ" }, { "mediaType", "image/jpeg" },
                   { "appContext", context("code_editor") } }
            << QStringList { "code editor" } << QStringList { "terminal" } << QJsonArray {};
        QTest::newRow("follow-up keeps the conversation's order")
            << QJsonObject { { "messages",
                                 QJsonArray { QJsonObject { { "role", "user" }, { "content", "one" } },
                                     QJsonObject { { "role", "assistant" }, { "content", "two" } },
                                     QJsonObject { { "role", "user" }, { "content", "three" } } } },
                   { "appContext", context("communication") } }
            << QStringList { "chat or e-mail" } << QStringList {}
            << QJsonArray { QJsonObject { { "role", "user" }, { "content", "one" } },
                   QJsonObject { { "role", "assistant" }, { "content", "two" } },
                   QJsonObject { { "role", "user" }, { "content", "three" } } };
    }

    void eachRequestKindBecomesItsChatRequest()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QStringList, systemHas);
        QFETCH(QStringList, systemLacks);
        QFETCH(QJsonArray, turns);

        const HttpAnswer answer = exchange(m_service.port(), postRequest(json(request)));
        QVERIFY2(answer.status == 200, answer.body);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object(), (QJsonObject { { "explanation", secretAnswer } }));

        const QJsonObject chat = lastChat();
        QCOMPARE(chat["model"].toString(), QStringLiteral("first-model")); // looked up once, at start
        const auto received = m_model.requests();
        QCOMPARE(received.constFirst().path, "/v1/models");
        QCOMPARE(int(std::count_if(
                     received.cbegin(), received.cend(), [](const auto& r) { return r.path == "/v1/models"; })),
            1);
        QCOMPARE(m_model.requests().constLast().headers.value("authorization"), "Bearer " + upstreamKey);
        const QJsonArray messages = chat["messages"].toArray();
        QCOMPARE(messages.first()["role"].toString(), QStringLiteral("system"));
        const QString system = messages.first()["content"].toString();
        for (const QString& part : systemHas)
            QVERIFY2(system.contains(part), qPrintable(part + " not in: " + system));
        for (const QString& part : systemLacks)
            QVERIFY2(!system.contains(part), qPrintable(part + " in: " + system));

        if (request.contains("imageBase64")) {
            QCOMPARE(messages.size(), 2);
            const QJsonArray parts = messages[1]["content"].toArray();
            QCOMPARE(parts[0]["text"].toString(), QStringLiteral("Explain this screenshot concisely"));
            QCOMPARE(parts[1]["image_url"]["url"].toString(), QStringLiteral("data:image/jpeg;base64,/9j/4AAQ"));
        } else {
            QCOMPARE(QJsonArray(messages).last(), turns.last());
            QCOMPARE(messages.size(), turns.size() + 1);
            for (qsizetype i = 0; i < turns.size(); ++i)
                QCOMPARE(messages[i + 1], turns[i]);
        }
    }

    void badRequestsNeverReachTheModel_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const auto post
            = [](const QByteArray& body, const QByteArray& token = "test-token") { return postRequest(body, token); };
        const QByteArray good = R"({"selectedText":"x"})";
        QTest::newRow("not JSON") << post("selectedText=x") << 400;
        QTest::newRow("no request field") << post(R"({"userId":"U"})") << 400;
        QTest::newRow("two request fields") << post(R"({"selectedText":"x","messages":[]})") << 400;
        QTest::newRow("text is a number") << post(R"({"selectedText":5})") << 400;
        QTest::newRow("context is text") << post(R"({"selectedText":"x","appContext":"Konsole"})") << 400;
        QTest::newRow("context without name")
            << post(R"({"selectedText":"x","appContext":{"bundleID":"","appCategory":"general"}})") << 400;
        QTest::newRow("bad Base64") << post(R"({"imageBase64":"a*b=","mediaType":"image/jpeg"})") << 400;
        QTest::newRow("not an image type") << post(R"({"imageBase64":"AAAA","mediaType":"text/html"})") << 400;
        QTest::newRow("conversation ends with the answer")
            << post(R"({"messages":[{"role":"user","content":"a"},{"role":"assistant","content":"b"}]})") << 400;
        QTest::newRow("unknown role") << post(R"({"messages":[{"role":"system","content":"a"}]})") << 400;
        QTest::newRow("text too long") << post(json({ { "selectedText", QString(100'001, u'a') } })) << 413;
        QTest::newRow("body over 16 MiB")
            << QByteArray("POST /v1/explain HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer test-token\r\n"
                          "Content-Length: 16777217\r\n\r\n{")
            << 413;
        QTest::newRow("no token") << post(good, {}) << 401;
        QTest::newRow("unknown token, answered before the body") << QByteArray(
            "POST /v1/explain HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer nope\r\n"
            "Content-Length: 1000000\r\n\r\n{") << 401;
        QTest::newRow("unknown token") << post(good, "test-tokem") << 401;
        QTest::newRow("built-in token when others are configured") << post(good, "plumtreebarn") << 401;
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

    void modelFailuresBecomeSentences_data()
    {
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("key refused") << StubService::Reply { 401, "{}" } << 502 << "QUILLORA_UPSTREAM_KEY";
        QTest::newRow("rate limited") << StubService::Reply { 429, "{}" } << 503 << "rate limit";
        QTest::newRow("server error") << StubService::Reply { 500, "oops" } << 502 << "failed with status 500";
        QTest::newRow("not JSON") << StubService::Reply { 200, "<html>" } << 502 << "could not read";
        QTest::newRow("no choices") << StubService::Reply { 200, R"({"choices":[]})" } << 502 << "could not read";
        StubService::Reply stall;
        stall.stall = true;
        QTest::newRow("no answer in time") << stall << 504 << "within 1 seconds";
    }

    void modelFailuresBecomeSentences()
    {
        QFETCH(StubService::Reply, reply);
        QFETCH(int, status);
        QFETCH(QString, says);
        StubService model(StubService::Tls::None);
        model.setReply(reply);
        ServiceProcess service;
        QVERIFY(
            service.start({ "--upstream-url", model.url("/v1").toString(), "--model", "m", "--upstream-timeout", "1" },
                environment()));
        const HttpAnswer answer = exchange(service.port(), postRequest(R"({"selectedText":"x"})"));
        QCOMPARE(answer.status, status);
        QVERIFY2(answer.body.startsWith("The language model at " + model.url("/v1").toEncoded() + " "), answer.body);
        QVERIFY2(answer.body.contains(says.toUtf8()), answer.body);
        m_logs << service.log();
    }

    void anUnreachableModelIsNamedWithWhatToDo()
    {
        ServiceProcess service; // the default upstream, where Ollama listens, is not running here
        QVERIFY(service.start({ "--upstream-url", "http://127.0.0.1:1/v1" }, environment()));
        const HttpAnswer answer = exchange(service.port(), postRequest(R"({"selectedText":"x"})"));
        QCOMPARE(answer.status, 502);
        QCOMPARE(answer.body,
            "The language model at http://127.0.0.1:1/v1 could not be reached: connection refused. Check that it runs, "
            "or pass another --upstream-url.");
    }

    void httpsModelsMustProveWhoTheyAre()
    {
        QProcessEnvironment env = environment();
        env.insert("SSL_CERT_FILE", TestCerts::path("ca.pem")); // the system's trust, for this test: the test CA
        for (const auto& [tls, status] :
            { std::pair { StubService::Tls::TestCA, 200 }, { StubService::Tls::Untrusted, 502 } }) {
            StubService model(tls);
            model.setReply({ 200, chatAnswer("a") });
            ServiceProcess service;
            QVERIFY(service.start({ "--upstream-url", model.url("/v1").toString(), "--model", "m" }, env));
            const HttpAnswer answer = exchange(service.port(), postRequest(R"({"selectedText":"x"})"));
            QVERIFY2(answer.status == status, answer.body);
            QCOMPARE(model.requests().size(), status == 200 ? 1 : 0);
        }
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
};

QTEST_GUILESS_MAIN(ExplainServiceTest)
#include "tst_explainservice.moc"
