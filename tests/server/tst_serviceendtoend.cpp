// The real program, pointed by its user settings at the real quillora-service, which asks a stub model API:
// a text explained (its answer streamed from the model to the card) and a follow-up typed in the card, checked by
// what the model receives.
#include "servicetesting.h"
#include "stubservice.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

namespace {

QString xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

class ServiceEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_config;
    StubService m_model { StubService::Tls::None };
    ServiceProcess m_service;
    QProcess m_quillora;

    // The messages of the newest chat request that has n of them.
    QJsonArray chatWith(qsizetype n) const
    {
        for (const auto& request : m_model.requests())
            if (request.path == "/v1/chat/completions" && request.json()["messages"].toArray().size() == n)
                return request.json()["messages"].toArray();
        return {};
    }

private slots:
    void initTestCase()
    {
        m_model.setHandler([](const StubService::Request& request) {
            if (request.path == "/v1/models")
                return StubService::Reply { 200, R"({"data":[{"id":"e2e-model"}]})" };
            if (request.json()["messages"].toArray().size() != 2)
                return StubService::Reply { 200,
                    R"({"choices":[{"message":{"role":"assistant","content":"C++ has them as lambdas."}}]})" };
            // The first answer as a model streams it, word by word.
            StubService::Reply streamed { 200, {}, "text/event-stream" };
            streamed.stream = StubService::Reply::Stream::Paced;
            for (const QByteArray word : { "A **clo", "sure** keeps ", "the variables ", "it uses." })
                streamed.pieces.append("data: {\"choices\":[{\"delta\":{\"content\":\"" + word + "\"}}]}\n\n");
            streamed.pieces.append("data: [DONE]\n\n");
            streamed.paceMs = 50;
            return streamed;
        });
        QProcessEnvironment serviceEnvironment = QProcessEnvironment::systemEnvironment();
        serviceEnvironment.remove("QUILLORA_SERVICE_TOKENS"); // the build's own token is accepted
        QVERIFY(m_service.start({ "--upstream-url", m_model.url("/v1").toString() }, serviceEnvironment));

        // Only the user's settings know where the service is and which token it takes.
        QSettings settings(m_config.filePath("Quillora/Quillora.conf"), QSettings::IniFormat);
        settings.setValue("serviceURL", QStringLiteral("http://127.0.0.1:%1/v1/explain").arg(m_service.port()));
        settings.setValue("serviceToken", "plumtreebarn");
        settings.sync();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_config.path());
        env.insert("QUILLORA_TEST_SERVICE_URL", "https://127.0.0.1:1/unused");
        m_quillora.setProcessEnvironment(env);
        m_quillora.setProcessChannelMode(QProcess::ForwardedChannels);
    }

    void cleanupTestCase()
    {
        m_quillora.terminate();
        m_quillora.waitForFinished(5000);
    }

    void explainTextThenFollowUpInTheCard()
    {
        m_quillora.start(QStringLiteral(QUILLORA_E2E_PROGRAM), { "--explain-text", "closure" });
        QTRY_VERIFY_WITH_TIMEOUT(!chatWith(2).isEmpty(), 15000);
        QCOMPARE(chatWith(2)[1].toObject(),
            (QJsonObject { { "role", "user" }, { "content", "Explain: closure concisely" } }));

        // The card: click its follow-up field (at the card's bottom), ask, send.
        const QString window
            = xdotool({ "search", "--sync", "--onlyvisible", "--pid", QString::number(m_quillora.processId()) })
                  .section(u'\n', 0, 0);
        QVERIFY(!window.isEmpty());
        QTest::qWait(500); // the answer fades in
        const QString geometry = xdotool({ "getwindowgeometry", "--shell", window });
        const auto value = [&](const char* key) {
            return geometry.section(QString::fromLatin1(key) + u'=', 1).section(u'\n', 0, 0).toInt();
        };
        xdotool({ "mousemove", QString::number(value("X") + value("WIDTH") / 2),
            QString::number(value("Y") + value("HEIGHT") - 28), "click", "1" });
        xdotool({ "type", "--delay", "20", "and in C++?" });
        xdotool({ "key", "Return" });

        QTRY_VERIFY_WITH_TIMEOUT(!chatWith(4).isEmpty(), 15000);
        const QJsonArray turns = chatWith(4);
        QCOMPARE(turns[1]["content"].toString(), QStringLiteral("Explain: closure concisely"));
        QCOMPARE(turns[2].toObject(),
            (QJsonObject { { "role", "assistant" }, { "content", "A **closure** keeps the variables it uses." } }));
        QCOMPARE(turns[3].toObject(), (QJsonObject { { "role", "user" }, { "content", "and in C++?" } }));
        QVERIFY(m_service.log().contains("200 /v1/explain follow-up"));
    }
};

QTEST_GUILESS_MAIN(ServiceEndToEndTest)
#include "tst_serviceendtoend.moc"
