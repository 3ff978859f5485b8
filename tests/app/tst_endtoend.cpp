// The real program under the test desktop, built against a local stub service: its command line, its
// D-Bus entry and its single instance, checked by what reaches the service.
#include "stubservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString service = QStringLiteral("org.quillora.Quillora");
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_config;
    std::unique_ptr<StubService> m_stub;
    QProcess m_instance;
    QProcess m_pad;
    qsizetype m_requestsTaken = 0;

    void setUp(QProcess& process) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_config.path());
        env.insert("QUILLORA_TEST_SERVICE_URL", m_stub->url().toString());
        process.setProcessEnvironment(env);
    }

    // Runs `quillora` with arguments to its end; returns its exit code (-1 when it did not end by itself).
    int run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* errors = nullptr)
    {
        QProcess process;
        setUp(process);
        process.start(QUILLORA_E2E_PROGRAM, arguments);
        process.write(input);
        process.closeWriteChannel();
        const bool ended = process.waitForFinished(6000) && process.exitStatus() == QProcess::NormalExit;
        if (errors)
            *errors = process.readAllStandardError();
        return ended ? process.exitCode() : -1;
    }

    // Runs xdotool with space-separated arguments; its output lines.
    static QStringList xdotool(const QString& arguments)
    {
        QProcess process;
        process.start("xdotool", arguments.split(u' '));
        process.waitForFinished(10000);
        return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }

    QStringList ourWindows() const
    {
        return xdotool(QStringLiteral("search --onlyvisible --pid %1").arg(m_instance.processId()));
    }

    static QDBusMessage::MessageType call(const QString& method, const QVariantList& arguments = {})
    {
        auto message = QDBusMessage::createMethodCall(service, "/org/quillora/Quillora", service, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000).type();
    }

    // The next request to reach the service, in arrival order; empty unless it is a whole InitialRequest.
    QJsonObject nextRequest()
    {
        const bool arrived = m_stub->waitForRequests(int(m_requestsTaken) + 1, 10000);
        const QJsonObject body = arrived ? m_stub->requests().at(m_requestsTaken++).json() : QJsonObject();
        return !body.value("userId").toString().isEmpty() && body.value("appContext").isObject() ? body : QJsonObject();
    }

    QString nextText() { return nextRequest().value("selectedText").toString("<none>"); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        m_stub = std::make_unique<StubService>(StubService::Tls::None);
        m_stub->replyWithExplanation(QStringLiteral("An answer."));

        // The application the user works in.
        m_pad.start("/usr/bin/python3", { QUILLORA_TEST_PAD, "--title", "Reading", "--select", "4", "9" });
        QTRY_VERIFY_WITH_TIMEOUT(m_pad.canReadLine(), 10000);

        setUp(m_instance);
        m_instance.setProcessChannelMode(QProcess::ForwardedChannels);
        m_instance.start(QUILLORA_E2E_PROGRAM, {});
        QVERIFY(m_instance.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(service), 10000);
    }

    void cleanupTestCase()
    {
        QCOMPARE(m_instance.state(), QProcess::Running); // no second start or bad command line brought it down
        m_instance.terminate();
        m_instance.waitForFinished(5000);
        m_pad.kill();
        m_pad.waitForFinished(2000);
    }

    void textsReachTheServiceUnchangedAsOneRequestEach()
    {
        QCOMPARE(run({ "--explain-text", "  photosynthesis  " }), 0);
        const QJsonObject body = nextRequest();
        QCOMPARE(body.value("selectedText").toString(), QStringLiteral("  photosynthesis  "));
        QCOMPARE(body.value("appContext")["bundleID"].toString(), QStringLiteral("org.quillora.TestPad"));
        QCOMPARE(body.value("appContext")["windowTitle"].toString(), QStringLiteral("Reading"));

        QCOMPARE(run({ "--explain-text=-" }, "line one\nline two\n"), 0);
        QCOMPARE(nextText(), QStringLiteral("line one\nline two\n"));
        QCOMPARE(call("ExplainText", { QStringLiteral("über D-Bus") }), QDBusMessage::ReplyMessage);
        QCOMPARE(nextText(), QStringLiteral("über D-Bus"));

        // Empty texts send nothing: a request sent after them must be the very next to arrive.
        QCOMPARE(run({ "--explain-text", "" }), 0);
        QCOMPARE(call("ExplainText", { QString() }), QDBusMessage::ReplyMessage);
        QCOMPARE(call("ExplainText", { QStringLiteral("marker") }), QDBusMessage::ReplyMessage);
        QCOMPARE(nextText(), QStringLiteral("marker"));
        QCOMPARE(m_stub->requests().size(), m_requestsTaken);
    }

    // A drag on the overlay sends the region as a JPEG of its pixel size (the card's place at the region is
    // checked in tst_popupwindowcontroller).
    void screenshotReachesTheService()
    {
        const auto screenSized = [&] {
            QStringList found;
            for (const QString& w : ourWindows())
                if (xdotool("getwindowgeometry " + w).join(' ').contains("1600x1000"))
                    found << w;
            return found;
        };
        const QStringList before = screenSized();
        QCOMPARE(run({ "--explain-screenshot" }), 0); // handed over through ExplainScreenshot on D-Bus
        QTRY_VERIFY_WITH_TIMEOUT(screenSized() != before, 10000);
        xdotool("mousemove 300 100 mousedown 1 mousemove 500 200 mousemove 700 300 mouseup 1");
        const QJsonObject body = nextRequest();
        QCOMPARE(body.value("mediaType").toString(), QStringLiteral("image/jpeg"));
        QCOMPARE(body.value("appContext")["bundleID"].toString(), QStringLiteral("org.quillora.TestPad"));
        const QImage jpeg
            = QImage::fromData(QByteArray::fromBase64(body.value("imageBase64").toString().toLatin1()), "JPEG");
        QCOMPARE(jpeg.size(), QSize(400, 200));

        xdotool("key Escape");
    }

    void badCommandLinesGetUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("missing text") << QStringList { "--explain-text" };
        QTest::newRow("unknown option") << QStringList { "--explain-everything" };
        QTest::newRow("two actions") << QStringList { "--ask", "--explain-selection" };
        QTest::newRow("stray word") << QStringList { "--ask", "hello" };
    }

    void badCommandLinesGetUsage()
    {
        QFETCH(QStringList, arguments);
        QByteArray errors;
        QCOMPARE(run(arguments, {}, &errors), 2);
        QVERIFY2(errors.contains("quillora: ") && errors.contains("\n\nUsage: quillora"), errors.constData());
        QCOMPARE(m_stub->requests().size(), m_requestsTaken); // nothing reached the service
    }

    void hotKeysReachTheServiceAndOpenTheQuestionCard()
    {
        xdotool("key alt+x"); // the pad's selected word
        QCOMPARE(nextText(), QStringLiteral("quick"));

        const QStringList answerCard = ourWindows();
        xdotool("key alt+a");
        QString card;
        QTRY_VERIFY_WITH_TIMEOUT(!(card = ourWindows().value(0)).isEmpty() && !answerCard.contains(card), 10000);
        // The card waits for a question: it takes the keyboard on a click and sends what is typed.
        xdotool("mousemove --window " + card + " 150 120 click 1");
        QTest::qWait(300);
        QProcess::execute("xdotool", { "type", "--delay", "10", "why is the sky blue" });
        xdotool("key Return");
        QCOMPARE(nextText(), QStringLiteral("why is the sky blue"));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
