#include "app/serviceconfig.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const AppContext terminalContext { u"Terminal"_s, u"org.gnome.Terminal"_s, u"terminal"_s, u"~/src — bash"_s };

ExplanationResult run(QCoro::Task<ExplanationResult> task) { return QCoro::waitFor(std::move(task)); }

// Starts a request without waiting for it: the result lands in the returned slot when the request ends.
using Outcome = std::shared_ptr<std::optional<ExplanationResult>>;
QCoro::Task<> store(QCoro::Task<ExplanationResult> task, Outcome into) { *into = co_await std::move(task); }
Outcome start(QCoro::Task<ExplanationResult> task)
{
    auto outcome = std::make_shared<std::optional<ExplanationResult>>();
    store(std::move(task), outcome);
    return outcome;
}

} // namespace

Q_DECLARE_METATYPE(StubService::Reply)

class ApiClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<StubService> m_stub;
    std::unique_ptr<QuilloraAPIClient> m_client;

    void serve(StubService::Tls tls = StubService::Tls::TestCA, const QString& path = u"/v1/explain"_s)
    {
        m_client.reset(); // first: the stub waits for open connections when it stops
        m_stub = std::make_unique<StubService>(tls);
        m_client = std::make_unique<QuilloraAPIClient>(m_stub->url(path), "test-token", TestCerts::trustingTestCA());
        m_client->setUserId(u"6F1B2C3D-0000-4000-8000-00000000ABCD"_s);
    }
    ExplanationResult explain(const QString& prompt = {}) { return run(m_client->explain(u"x"_s, prompt, {})); }
    QJsonObject sentBody(int index = 0) const { return m_stub->requests().at(index).json(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); } // clients without a user id read the settings
    void init() { serve(); }

    void everyRequestKindIsOnePostToTheUnchangedUrlWithBothHeaders_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("explain") << 0;
        QTest::newRow("explainImage") << 1;
        QTest::newRow("followUp") << 2;
    }
    void everyRequestKindIsOnePostToTheUnchangedUrlWithBothHeaders()
    {
        QFETCH(int, kind);
        serve(StubService::Tls::TestCA, u"/v1/explain?region=eu"_s);
        m_stub->replyWithExplanation(u"It is a pointer."_s);
        const ConversationHistory history { ConversationMessage::make(MessageRole::User, u"?"_s) };
        const ExplanationResult result = run(kind == 0 ? m_client->explain(u"int *p;"_s, {}, terminalContext)
                : kind == 1 ? m_client->explainImage("\xff\xd8\xff\xe0jpeg", {}, terminalContext)
                            : m_client->followUp(history, {}, terminalContext));

        QVERIFY(result.isSuccess());
        QCOMPARE(result.explanation(), u"It is a pointer."_s);
        QCOMPARE(m_stub->requests().size(), 1);
        const StubService::Request request = m_stub->requests().first();
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.path, "/v1/explain?region=eu");
        QCOMPARE(request.headers.value("content-type"), "application/json");
        QCOMPARE(request.headers.value("authorization"), "Bearer test-token");
        QVERIFY(!request.body.contains('\n')); // compact JSON
        QCOMPARE(request.json().value(u"userId"_s).toString(), u"6F1B2C3D-0000-4000-8000-00000000ABCD"_s);
        QCOMPARE(request.json().value(u"appContext"_s).toObject(), terminalContext.toJson());
    }

    void optionalFieldsAreLeftOutNotNull()
    {
        const AppContext noTitle { u"Unknown"_s, QString(), u"general"_s, std::nullopt };
        QVERIFY(run(m_client->explain(QString(), QString(), std::nullopt)).isSuccess());
        QVERIFY(run(m_client->explain(u" x "_s, u"  "_s, noTitle)).isSuccess());

        const QJsonObject bare = sentBody(0);
        QCOMPARE(bare.keys(), (QStringList { u"selectedText"_s, u"userId"_s }));
        QCOMPARE(bare.value(u"selectedText"_s), QJsonValue(QString())); // required, so written empty

        const QJsonObject full = sentBody(1);
        QCOMPARE(full.value(u"selectedText"_s).toString(), u" x "_s); // no trimming
        QCOMPARE(full.value(u"customSystemPrompt"_s).toString(), u"  "_s); // a prompt of blanks is sent
        const QJsonObject context = full.value(u"appContext"_s).toObject();
        QCOMPARE(context.keys(), (QStringList { u"appCategory"_s, u"appName"_s, u"bundleID"_s }));
        QVERIFY(!m_stub->requests().at(1).body.contains("null"));
    }

    void imageAndFollowUpBodies()
    {
        QByteArray jpeg;
        for (int i = 0; i < 3000; ++i)
            jpeg.append(char(i * 7 % 256)); // every byte value, so "+" and "/" in the Base64 text
        QVERIFY(run(m_client->explainImage(jpeg, u"say \"hi\"\n"_s, std::nullopt)).isSuccess());
        const QJsonObject image = sentBody(0);
        QCOMPARE(image.value(u"mediaType"_s).toString(), u"image/jpeg"_s);
        QCOMPARE(image.value(u"customSystemPrompt"_s).toString(), u"say \"hi\"\n"_s);
        const QByteArray base64 = image.value(u"imageBase64"_s).toString().toLatin1();
        QCOMPARE(QByteArray::fromBase64(base64, QByteArray::AbortOnBase64DecodingErrors), jpeg);
        QCOMPARE(base64.size() % 4, 0); // padded, no line breaks

        // A follow-up about a screenshot carries the history only, in order, without ids or the image.
        const ConversationHistory history {
            ConversationMessage::make(MessageRole::User, u"Explain this screenshot concisely"_s),
            ConversationMessage::make(MessageRole::Assistant, u"A chart."_s),
            ConversationMessage::make(MessageRole::User, u"Of what?"_s),
        };
        QVERIFY(run(m_client->followUp(history, QString(), std::nullopt)).isSuccess());
        const QJsonObject followUp = sentBody(1);
        QCOMPARE(followUp.keys(), (QStringList { u"messages"_s, u"userId"_s }));
        const QJsonArray messages = followUp.value(u"messages"_s).toArray();
        QCOMPARE(messages.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(messages[i].toObject(),
                (QJsonObject {
                    { u"role"_s, messageRoleName(history[i].role) }, { u"content"_s, history[i].content } }));
        QCOMPARE(messages[1].toObject().value(u"role"_s).toString(), u"assistant"_s);
    }

    void statusAndBodyHandling_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("shown"); // the explanation, or the error the user sees
        QTest::newRow("200 empty explanation") << 200 << QByteArray(R"({"explanation":""})") << QString();
        QTest::newRow("200 extra keys") << 200 << QByteArray(R"({"explanation":"ok","n":{"k":[1]}})") << u"ok"_s;
        QTest::newRow("199 has no body") << 199 << QByteArray() << u"Server error 199: "_s;
        QTest::newRow("300") << 300 << QByteArray("choose") << u"Server error 300: choose"_s;
        QTest::newRow("500 UTF-8") << 500 << QByteArray("überlastet") << u"Server error 500: überlastet"_s;
        QTest::newRow("500 JSON is not parsed")
            << 500 << QByteArray(R"({"explanation":"no"})") << uR"(Server error 500: {"explanation":"no"})"_s;
        QTest::newRow("500 invalid UTF-8") << 500 << QByteArray("bad \xff\xfe") << u"Server error 500: (no body)"_s;
        QTest::newRow("500 empty") << 500 << QByteArray() << u"Server error 500: "_s;
        QTest::newRow("JSON error field, first sentence")
            << 503 << QByteArray(R"({"error":"The model is busy. Try again later."})")
            << u"Server error 503: The model is busy."_s;
        QTest::newRow("JSON nested message")
            << 429 << QByteArray(R"({"error":{"message":"Too many requests\nfrom you"}})")
            << u"Server error 429: Too many requests"_s;
    }
    void statusAndBodyHandling()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, shown);
        m_stub->setReply({ status, body, "text/plain" });
        const ExplanationResult result = explain();
        QCOMPARE(result.isSuccess() ? result.explanation() : result.error().description(), shown);
        QCOMPARE(result.isSuccess(), status / 100 == 2);
        QCOMPARE(m_stub->requests().size(), 1); // never retried
    }

    void successBodiesThatAreNotAResponseFailToDecode_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("204 empty") << 204 << QByteArray();
        QTest::newRow("array") << 200 << QByteArray(R"(["explanation"])");
        QTest::newRow("missing") << 200 << QByteArray(R"({"answer":"x"})");
        QTest::newRow("number") << 200 << QByteArray(R"({"explanation":42})");
        QTest::newRow("html") << 200 << QByteArray("<html>maintenance</html>");
    }
    void successBodiesThatAreNotAResponseFailToDecode()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        m_stub->setReply({ status, body });
        const ExplanationResult result = explain();
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().kind, APIError::Kind::Decoding);
        QVERIFY(!result.error().description().isEmpty());
    }

    // What a broken or hostile service can send. Each ends with a clear message, well before the test's bound.
    void hostileServices_data()
    {
        using Stream = StubService::Reply::Stream;
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<QString>("shown");
        const QString timedOut = u"The request timed out."_s;
        QTest::newRow("never-ending chunked reply")
            << StubService::Reply { 200, {}, "application/json", false, Stream::Endless } << timedOut;
        QTest::newRow("stall after the headers")
            << StubService::Reply { 200, {}, "application/json", false, Stream::StallAfterHeaders } << timedOut;
        QTest::newRow("reset mid-body") << StubService::Reply { 200, StubService::explanationBody(u"cut off"_s),
            "application/json", false, Stream::ResetMidBody }
                                        << u"The server closed the connection before the answer was complete."_s;
        QTest::newRow("oversized chunked body") << StubService::Reply { 200, "{\"explanation\":\"", "application/octet-stream",
            false, Stream::Chunked, QuilloraAPIClient::maximumResponseSize + 1 }
                                                << u"The server's response was too large to show."_s;
        QTest::newRow("huge HTML error page") << StubService::Reply { 500,
            "<!DOCTYPE html><html><head><title>x</title><style>p{}</style></head><body><h1>Internal Server "
            "Error</h1><p>"
                + QByteArray(1 << 20, 'z') + "</p></body></html>",
            "text/html" } << u"Server error 500: Internal Server Error"_s;
        QByteArray huge(15 << 20, 'a');
        QTest::newRow("huge answer under the limit")
            << StubService::Reply { 200, StubService::explanationBody(QString::fromLatin1(huge)) }
            << QString::fromLatin1(huge);
    }
    void hostileServices()
    {
        QFETCH(StubService::Reply, reply);
        QFETCH(QString, shown);
        m_stub->setReply(reply);
        m_client->setTimeout(std::chrono::milliseconds(1000));
        const Outcome outcome = start(m_client->explain(u"x"_s, {}, std::nullopt));
        QVERIFY(QTest::qWaitFor([&] { return outcome->has_value(); }, 15000));
        const ExplanationResult& result = **outcome;
        QCOMPARE(result.isSuccess() ? result.explanation() : result.error().description(), shown);
        QCOMPARE(m_client->requestsInFlight(), 0);
    }

    // A request still in flight when its client goes away ends as cancelled; nothing waits on it any more.
    void requestsEndWithTheirClient()
    {
        m_stub->setReply({ 200, {}, {}, true });
        const Outcome outcome = start(m_client->explain(u"x"_s, {}, std::nullopt));
        QVERIFY(m_stub->waitForRequests(1));
        m_client.reset();
        QVERIFY(outcome->has_value());
        QCOMPARE((*outcome)->error().description(), u"The request was cancelled."_s);
    }

    void aRefusedConnectionIsReportedInTheNetworkLayersWords()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        QuilloraAPIClient refused(QUrl(u"https://127.0.0.1:%1/"_s.arg(closed.serverPort())), "t");
        closed.close();
        const ExplanationResult result = run(refused.explain(u"x"_s, {}, std::nullopt));
        QCOMPARE(result.error().kind, APIError::Kind::Transport); // the network layer's own words
        QVERIFY2(result.error().description().contains(u"refused"_s, Qt::CaseInsensitive),
            qPrintable(result.error().description()));
    }

    void anUntrustedCertificateFailsBeforeAnythingIsSent()
    {
        serve(StubService::Tls::Untrusted); // trusting the test CA does not cover a certificate it did not sign
        const ExplanationResult result = explain();
        QCOMPARE(result.error().kind, APIError::Kind::Transport);
        QVERIFY2(result.error().description().contains(u"SSL"_s), qPrintable(result.error().description()));

        QuilloraAPIClient systemTrust(m_stub->url(), "test-token"); // nor does the system's trust store
        QVERIFY(!run(systemTrust.explain(u"secret selection"_s, {}, std::nullopt)).isSuccess());
        QCOMPARE(m_stub->requests().size(), 0);
    }

    void aPeerThatDoesNotSpeakHttpIsAnInvalidResponse()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&server] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write("SSH-2.0-OpenSSH_9.2\r\n\r\n"); });
        });
        QuilloraAPIClient client(QUrl(u"http://127.0.0.1:%1/"_s.arg(server.serverPort())), "t");
        QCOMPARE(
            run(client.explain(u"x"_s, {}, std::nullopt)).error().description(), u"Invalid response from server."_s);
    }

    void theProgramRefusesToStartWithAnUnusableServiceAddress()
    {
        const auto problem = [](const QString& url) { return serviceUrlProblem(QUrl(url, QUrl::StrictMode)); };
        for (const QString& bad :
            { u""_s, u"api.quillora.org/v1"_s, u"ftp://api.quillora.org/"_s, u"https://exa mple.org/"_s })
            QVERIFY2(!problem(bad).isEmpty(), qPrintable(bad));
        QVERIFY(problem(u"https://api.quillora.org/v1/explain"_s).isEmpty());
        QVERIFY(problem(u"https://127.0.0.1:8443/"_s).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ApiClientTest)
#include "tst_apiclient.moc"
