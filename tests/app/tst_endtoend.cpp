// The real program under the test desktop, built against a local stub service: its command line, its
// D-Bus entry and its single instance, checked by what reaches the service.
#include "stubservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString program = QStringLiteral(QUILLORA_E2E_PROGRAM);
const QString service = QStringLiteral("org.quillora.Quillora");
const QString path = QStringLiteral("/org/quillora/Quillora");
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_config;
    std::unique_ptr<StubService> m_stub;
    QProcess m_instance;
    QProcess m_pad;
    qsizetype m_requestsTaken = 0;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        env.insert(QStringLiteral("QUILLORA_TEST_SERVICE_URL"), m_stub->url().toString());
        return env;
    }

    // Runs `quillora` with arguments to its end; returns its exit code.
    int run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* errors = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        process.write(input);
        process.closeWriteChannel();
        for (int i = 0; i < 300 && process.state() != QProcess::NotRunning; ++i)
            QTest::qWait(20);
        if (errors)
            *errors = process.readAllStandardError();
        return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
            ? process.exitCode()
            : -1;
    }

    static QDBusMessage call(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, service, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }

    // The text of the next request that reached the service, waiting for it when it has not yet (and
    // checks it is a full InitialRequest). Requests are taken in order, however early they arrived.
    QString nextRequestText()
    {
        if (!m_stub->waitForRequests(int(m_requestsTaken) + 1, 10000))
            return QStringLiteral("<no request>");
        const QJsonObject body = m_stub->requests().at(m_requestsTaken++).json();
        if (!body.value(QStringLiteral("userId")).isString() || !body.value(QStringLiteral("appContext")).isObject())
            return QStringLiteral("<incomplete request>");
        return body.value(QStringLiteral("selectedText")).toString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        m_stub = std::make_unique<StubService>(StubService::Tls::None);
        m_stub->replyWithExplanation(QStringLiteral("An answer."));

        // The application the user works in.
        m_pad.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral(QUILLORA_TEST_PAD), "--title", "Reading" });
        QTRY_VERIFY_WITH_TIMEOUT(m_pad.canReadLine(), 10000);

        m_instance.setProcessEnvironment(environment());
        m_instance.setProcessChannelMode(QProcess::ForwardedChannels);
        m_instance.start(program, {});
        QVERIFY(m_instance.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(service), 10000);
    }

    void cleanupTestCase()
    {
        QCOMPARE(m_instance.state(), QProcess::Running); // nothing above brought it down
        m_instance.terminate();
        m_instance.waitForFinished(5000);
        m_pad.kill();
        m_pad.waitForFinished(2000);
    }

    void commandLineTextReachesTheServiceAsOneRequest()
    {
        QCOMPARE(run({ "--explain-text", "  photosynthesis  " }), 0);
        QCOMPARE(nextRequestText(), QStringLiteral("  photosynthesis  "));

        const QJsonObject body = m_stub->requests().constLast().json();
        const QJsonObject context = body.value(QStringLiteral("appContext")).toObject();
        QCOMPARE(context.value(QStringLiteral("bundleID")).toString(), QStringLiteral("org.quillora.TestPad"));
        QCOMPARE(context.value(QStringLiteral("windowTitle")).toString(), QStringLiteral("Reading"));
        QVERIFY(!body.value(QStringLiteral("userId")).toString().isEmpty());
        QCOMPARE(m_stub->requests().constLast().headers.value("authorization"), QByteArray("Bearer test-token"));
    }

    void standardInputAndDBusTextArriveUnchanged()
    {
        QCOMPARE(run({ "--explain-text", "-" }, "line one\nline two\n"), 0);
        QCOMPARE(nextRequestText(), QStringLiteral("line one\nline two\n"));

        QCOMPARE(call(QStringLiteral("ExplainText"), { QStringLiteral("über D-Bus") }).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(nextRequestText(), QStringLiteral("über D-Bus"));
    }

    void emptyTextSendsNothing()
    {
        const qsizetype before = m_stub->requests().size();
        QCOMPARE(run({ "--explain-text", "" }), 0);
        QCOMPARE(call(QStringLiteral("ExplainText"), { QString() }).type(), QDBusMessage::ReplyMessage);
        // A request sent after the empty ones must be the very next to arrive.
        QCOMPARE(call(QStringLiteral("ExplainText"), { QStringLiteral("marker") }).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(nextRequestText(), QStringLiteral("marker"));
        QCOMPARE(m_stub->requests().size(), before + 1);
    }

    void secondStartForwardsAndExits()
    {
        QCOMPARE(run({}), 0);
        QCOMPARE(run({ "--ask" }), 0);
        QCOMPARE(m_instance.state(), QProcess::Running);
    }

    void unfinishedEntriesAnswerWithAnError()
    {
        const QDBusMessage reply = call(QStringLiteral("ExplainScreenshot"));
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), QStringLiteral("org.quillora.Quillora.Error.NotAvailable"));
    }

    void badCommandLinesGetUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("missing text") << QStringList { "--explain-text" };
        QTest::newRow("unknown option") << QStringList { "--explain-everything" };
        QTest::newRow("two actions") << QStringList { "--ask", "--explain-selection" };
        QTest::newRow("stray word") << QStringList { "hello" };
    }

    void badCommandLinesGetUsage()
    {
        QFETCH(QStringList, arguments);
        const qsizetype before = m_stub->requests().size();
        QByteArray errors;
        QCOMPARE(run(arguments, {}, &errors), 2);
        QVERIFY(errors.contains("Usage: quillora"));
        QCOMPARE(m_stub->requests().size(), before);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
