#include "app/serviceconfig.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using Reply = StubService::Reply;

namespace {

const AppContext terminalContext { QStringLiteral("Terminal"), QStringLiteral("org.gnome.Terminal"),
    QStringLiteral("terminal"), QStringLiteral("~/src — bash") };

std::unique_ptr<QuilloraAPIClient> clientFor(const StubService& stub, const QString& path = QStringLiteral("/v1/explain"))
{
    auto client = std::make_unique<QuilloraAPIClient>(stub.url(path), "test-token", TestCerts::trustingTestCA());
    client->setUserId(QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD"));
    return client;
}

ExplanationResult run(QCoro::Task<ExplanationResult> task)
{
    return QCoro::waitFor(std::move(task));
}

} // namespace

class ApiClientTest : public QObject {
    Q_OBJECT

private slots:
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
        StubService stub;
        stub.replyWithExplanation(QStringLiteral("It is a pointer."));
        auto client = clientFor(stub, QStringLiteral("/v1/explain?region=eu"));

        ExplanationResult result = run(kind == 0 ? client->explain(QStringLiteral("int *p;"), {}, terminalContext)
                : kind == 1 ? client->explainImage(QByteArray("\xff\xd8\xff\xe0jpeg"), {}, terminalContext)
                            : client->followUp({ ConversationMessage::make(MessageRole::User, QStringLiteral("?")) },
                                  {}, terminalContext));

        QVERIFY(result.isSuccess());
        QCOMPARE(result.explanation(), QStringLiteral("It is a pointer."));
        const auto requests = stub.requests();
        QCOMPARE(requests.size(), 1);
        const auto& request = requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QByteArray("/v1/explain?region=eu"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(request.headers.value("authorization"), QByteArray("Bearer test-token"));
        // Compact JSON: no pretty-printing line breaks.
        QVERIFY(!request.body.contains('\n'));
        QCOMPARE(request.json().value(QStringLiteral("userId")).toString(),
            QStringLiteral("6F1B2C3D-0000-4000-8000-00000000ABCD"));
        QCOMPARE(request.json().value(QStringLiteral("appContext")).toObject(), terminalContext.toJson());
    }

    void optionalFieldsAreLeftOutNotNull()
    {
        StubService stub;
        auto client = clientFor(stub);
        const AppContext noTitle { QStringLiteral("Unknown"), QString(), QStringLiteral("general"), std::nullopt };

        QVERIFY(run(client->explain(QString(), QString(), std::nullopt)).isSuccess());
        QVERIFY(run(client->explain(QStringLiteral(" x "), QStringLiteral("  "), noTitle)).isSuccess());

        const auto requests = stub.requests();
        const QJsonObject bare = requests[0].json();
        QCOMPARE(bare.keys(), (QStringList { QStringLiteral("selectedText"), QStringLiteral("userId") }));
        QCOMPARE(bare.value(QStringLiteral("selectedText")), QJsonValue(QString())); // required, written empty

        const QJsonObject full = requests[1].json();
        QCOMPARE(full.value(QStringLiteral("selectedText")).toString(), QStringLiteral(" x ")); // no trimming
        QCOMPARE(full.value(QStringLiteral("customSystemPrompt")).toString(), QStringLiteral("  ")); // blanks are sent
        const QJsonObject context = full.value(QStringLiteral("appContext")).toObject();
        QVERIFY(!context.contains(QStringLiteral("windowTitle")));
        QVERIFY(context.contains(QStringLiteral("bundleID")));
        QCOMPARE(context.value(QStringLiteral("bundleID")).toString(), QString());
        QVERIFY(!requests[1].body.contains("null"));
    }

    void imageRequestCarriesStandardBase64AndTheMediaType()
    {
        StubService stub;
        auto client = clientFor(stub);
        QByteArray jpeg;
        for (int i = 0; i < 3000; ++i)
            jpeg.append(char(i * 7 % 256)); // every byte value, "+" and "/" in the Base64 text

        QVERIFY(run(client->explainImage(jpeg, QStringLiteral("say \"hi\"\n"), std::nullopt)).isSuccess());
        const QByteArray body = stub.requests().first().body;
        const QJsonObject json = QJsonDocument::fromJson(body).object();
        QCOMPARE(json.value(QStringLiteral("mediaType")).toString(), QStringLiteral("image/jpeg"));
        QCOMPARE(json.value(QStringLiteral("customSystemPrompt")).toString(), QStringLiteral("say \"hi\"\n"));
        const QByteArray base64 = json.value(QStringLiteral("imageBase64")).toString().toLatin1();
        QCOMPARE(QByteArray::fromBase64(base64, QByteArray::AbortOnBase64DecodingErrors), jpeg);
        QVERIFY(base64.endsWith('=') || base64.size() % 4 == 0);
        QVERIFY(!json.contains(QStringLiteral("appContext")));
    }

    void followUpSendsTheWholeHistoryInOrderWithoutIds()
    {
        StubService stub;
        auto client = clientFor(stub);
        const ConversationHistory history {
            ConversationMessage::make(MessageRole::User, QStringLiteral("Explain this screenshot concisely")),
            ConversationMessage::make(MessageRole::Assistant, QStringLiteral("A chart.")),
            ConversationMessage::make(MessageRole::User, QStringLiteral("Of what?")),
        };
        QVERIFY(run(client->followUp(history, QString(), std::nullopt)).isSuccess());

        const QJsonObject json = stub.requests().first().json();
        const QJsonArray messages = json.value(QStringLiteral("messages")).toArray();
        QCOMPARE(messages.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject message = messages[i].toObject();
            QCOMPARE(message.keys(), (QStringList { QStringLiteral("content"), QStringLiteral("role") }));
            QCOMPARE(message.value(QStringLiteral("content")).toString(), history[i].content);
            QCOMPARE(message.value(QStringLiteral("role")).toString(), messageRoleName(history[i].role));
        }
        QCOMPARE(messages[1].toObject().value(QStringLiteral("role")).toString(), QStringLiteral("assistant"));
        QVERIFY(!json.contains(QStringLiteral("imageBase64")));
        QVERIFY(!json.contains(QStringLiteral("customSystemPrompt")));
    }

    void statusAndBodyHandling_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("text"); // the explanation, or the error the user sees

        QTest::newRow("200 empty explanation") << 200 << QByteArray(R"({"explanation":""})") << true << QString();
        QTest::newRow("200 with extra keys")
            << 200 << QByteArray(R"({"explanation":"ok","model":{"n":1},"tokens":[1,2]})") << true << "ok";
        // An informational status carries no body.
        QTest::newRow("199") << 199 << QByteArray() << false << "Server error 199: ";
        QTest::newRow("300") << 300 << QByteArray("choose") << false << "Server error 300: choose";
        QTest::newRow("500 UTF-8 text") << 500 << QByteArray("überlastet") << false << "Server error 500: überlastet";
        QTest::newRow("500 JSON body is not parsed")
            << 500 << QByteArray(R"({"explanation":"no"})") << false << R"(Server error 500: {"explanation":"no"})";
        QTest::newRow("500 invalid UTF-8") << 500 << QByteArray("bad \xff\xfe bytes") << false
                                           << "Server error 500: (no body)";
        QTest::newRow("500 empty") << 500 << QByteArray() << false << "Server error 500: ";
    }
    void statusAndBodyHandling()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, success);
        QFETCH(QString, text);

        StubService stub;
        stub.setReply({ status, body, "text/plain" });
        auto client = clientFor(stub);
        const ExplanationResult result = run(client->explain(QStringLiteral("x"), {}, std::nullopt));
        QCOMPARE(result.isSuccess(), success);
        QCOMPARE(success ? result.explanation() : result.error().description(), text);
        QCOMPARE(stub.requests().size(), 1); // never retried
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
        StubService stub;
        stub.setReply({ status, body });
        auto client = clientFor(stub);
        const ExplanationResult result = run(client->explain(QStringLiteral("x"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().kind, APIError::Kind::Decoding);
        QVERIFY(!result.error().description().isEmpty());
    }

    void aStalledServerFailsAfterTheTimeout()
    {
        StubService stub;
        stub.setReply({ 200, {}, {}, true });
        auto client = clientFor(stub);
        client->setTimeout(std::chrono::milliseconds(300));
        const ExplanationResult result = run(client->explain(QStringLiteral("x"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().description(), QStringLiteral("The request timed out."));
    }

    void anUntrustedCertificateFailsBeforeAnythingIsSent()
    {
        StubService stub(StubService::Tls::Untrusted);
        // Trusting the test CA does not make a certificate it did not sign acceptable.
        auto client = clientFor(stub);
        const ExplanationResult result = run(client->explain(QStringLiteral("secret selection"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().kind, APIError::Kind::Transport);
        QVERIFY2(result.error().description().contains(QStringLiteral("SSL"), Qt::CaseInsensitive),
            qPrintable(result.error().description()));
        QCOMPARE(stub.requests().size(), 0);

        // The default trust store does not know the test CA either.
        QuilloraAPIClient plain(stub.url(), "test-token");
        QVERIFY(!run(plain.explain(QStringLiteral("secret selection"), {}, std::nullopt)).isSuccess());
        QCOMPARE(stub.requests().size(), 0);
    }

    void anOversizedBodyIsRefused()
    {
        StubService stub;
        QByteArray huge(QuilloraAPIClient::maximumResponseSize + 1024, 'a');
        huge.prepend(R"({"explanation":")");
        huge.append(R"("})");
        stub.setReply({ 200, huge, "application/octet-stream" }); // not compressed on the way
        auto client = clientFor(stub);
        const ExplanationResult result = run(client->explain(QStringLiteral("x"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().kind, APIError::Kind::ResponseTooLarge);
        QCOMPARE(result.error().description(), QStringLiteral("The server's response was too large to show."));
    }

    void aReplyThatIsNotHttpIsAnInvalidResponse()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&server] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->write("SSH-2.0-OpenSSH_9.2\r\nthis is not http\r\n\r\n");
            });
        });
        QuilloraAPIClient client(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort())), "t");
        client.setUserId(QStringLiteral("U"));
        const ExplanationResult result = run(client.explain(QStringLiteral("x"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().description(), QStringLiteral("Invalid response from server."));
    }

    void transportFailuresKeepTheirOwnDescription()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close(); // nothing listens there now
        QuilloraAPIClient client(QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(port)), "t");
        client.setUserId(QStringLiteral("U"));
        const ExplanationResult result = run(client.explain(QStringLiteral("x"), {}, std::nullopt));
        QVERIFY(!result.isSuccess());
        QCOMPARE(result.error().kind, APIError::Kind::Transport);
        QVERIFY2(result.error().description().contains(QStringLiteral("refused"), Qt::CaseInsensitive),
            qPrintable(result.error().description()));
    }

    void theProgramRefusesToStartWithAnUnusableServiceAddress()
    {
        const auto problem = [](const char* url) { return serviceUrlProblem(QUrl(QString::fromLatin1(url), QUrl::StrictMode)); };
        QVERIFY(!problem("").isEmpty());
        QVERIFY(!problem("api.quillora.org/v1").isEmpty()); // no scheme
        QVERIFY(!problem("ftp://api.quillora.org/").isEmpty());
        QVERIFY(!problem("https://exa mple.org/").isEmpty());
        QVERIFY(problem("https://api.quillora.org/v1/explain").isEmpty());
        QVERIFY(problem("https://127.0.0.1:8443/").isEmpty());
    }
};

QTEST_GUILESS_MAIN(ApiClientTest)
#include "tst_apiclient.moc"
