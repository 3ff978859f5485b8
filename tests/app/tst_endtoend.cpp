// The real program under the test desktop, built against a local stub service: its command line, its
// D-Bus entry and its single instance, checked by what reaches the service.
#include "app/servicehandler.h"
#include "stubservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

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
    int run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* errors = nullptr,
        bool withDisplay = true)
    {
        QProcess process;
        setUp(process);
        if (!withDisplay) {
            QProcessEnvironment env = process.processEnvironment();
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
            process.setProcessEnvironment(env);
        }
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

    static QDBusMessage callForReply(const QString& method, const QVariantList& arguments = {})
    {
        auto message = QDBusMessage::createMethodCall(service, "/org/quillora/Quillora", service, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }
    static QDBusMessage::MessageType call(const QString& method, const QVariantList& arguments = {})
    {
        return callForReply(method, arguments).type();
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

    // The clipboard as another application left it, read back through xclip.
    static QByteArray clipboard(const QString& mime)
    {
        QProcess xclip;
        xclip.start("xclip", { "-o", "-selection", "clipboard", "-t", mime });
        return xclip.waitForFinished(3000) ? xclip.readAllStandardOutput() : "<none>";
    }

    void cleanupTestCase()
    {
        QCOMPARE(m_instance.state(), QProcess::Running); // no second start or bad command line brought it down

        // A word read by the copy shortcut (no accessibility, no PRIMARY): Quillora puts the clipboard back and
        // holds it. Ended by SIGTERM as at a logout, it hands every format to the clipboard manager.
        QProcess manager;
        manager.start("xfsettingsd", { "--disable-wm-check" });
        QProcess owner;
        owner.start(QUILLORA_CLIPBOARD_OWNER, { "text/html", "PGI+a2VwdDwvYj4=", "text/plain", "a2VwdA==" });
        QTRY_VERIFY_WITH_TIMEOUT(owner.canReadLine(), 10000);
        QProcess copyOnly;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NO_AT_BRIDGE", "1");
        copyOnly.setProcessEnvironment(env);
        copyOnly.start("/usr/bin/python3",
            { QUILLORA_TEST_PAD, "--text", "copy only this part", "--no-primary", "--select", "5", "14" });
        QTRY_VERIFY_WITH_TIMEOUT(copyOnly.canReadLine(), 10000);
        xdotool(QStringLiteral("search --sync --onlyvisible --pid %1 . windowactivate --sync %@")
                    .arg(copyOnly.processId()));
        QTest::qWait(1000); // the manager has taken its selection, the last burst's calls have come in
        m_requestsTaken = m_stub->requests().size();
        QCOMPARE(run({ "--explain-selection" }), 0);
        QCOMPARE(nextText(), QStringLiteral("only this"));
        owner.kill();
        owner.waitForFinished(2000);
        QTRY_COMPARE(clipboard("text/html"), QByteArray("<b>kept</b>")); // now Quillora's
        m_instance.terminate();
        QVERIFY(m_instance.waitForFinished(10000));
        QCOMPARE(m_instance.exitStatus(), QProcess::NormalExit);
        QCOMPARE(clipboard("text/html"), QByteArray("<b>kept</b>"));
        QCOMPARE(clipboard("text/plain"), QByteArray("kept"));
        for (QProcess* process : { &copyOnly, &manager }) {
            process->kill();
            process->waitForFinished(2000);
        }

        // Another program owns the name once Quillora is gone: nothing is handed to it.
        QProcess squatter;
        squatter.start("/usr/bin/python3",
            { "-c",
                "from gi.repository import Gio, GLib\n"
                "Gio.bus_own_name(Gio.BusType.SESSION, 'org.quillora.Quillora', Gio.BusNameOwnerFlags.NONE, None,"
                " lambda *a: print('owned', flush=True), None)\nGLib.MainLoop().run()" });
        QVERIFY(squatter.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(squatter.canReadLine(), 10000);
        QByteArray errors;
        QCOMPARE(run({ "--explain-text", "secret" }, {}, &errors, false), 1);
        QVERIFY2(errors.contains("not a Quillora of this user"), errors.constData());
        QCOMPARE(run({}, {}, &errors), 1); // a new instance does not queue behind it either
        squatter.kill();
        squatter.waitForFinished(2000);

        QCOMPARE(run({ "--explain-text", "anyone?" }, {}, &errors, false), 1);
        QVERIFY2(errors.contains("no Quillora is running"), errors.constData());
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
        QByteArray errors;
        QCOMPARE(run({ "--explain-text", "" }, {}, &errors), 2);
        QVERIFY(errors.contains("There is no text to explain."));
        QCOMPARE(run({ "--explain-text", "-" }), 2);
        QCOMPARE(call("ExplainText", { QString() }), QDBusMessage::ReplyMessage);
        QCOMPARE(call("ExplainText", { QStringLiteral("marker") }), QDBusMessage::ReplyMessage);
        QCOMPARE(nextText(), QStringLiteral("marker"));
        QCOMPARE(m_stub->requests().size(), m_requestsTaken);
    }

    // The text after --explain-text is the user's, even where it looks like one of Qt's own options; Qt still
    // takes those that come before Quillora's.
    void textsThatLookLikeOptionsAreTheUsers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("sent");
        QTest::newRow("-reverse") << QStringList { "--explain-text", "-reverse" } << "-reverse";
        QTest::newRow("--platform") << QStringList { "--explain-text", "--platform" } << "--platform";
        QTest::newRow("after --") << QStringList { "--explain-text", "--", "-style" } << "-style";
        QTest::newRow("-- itself") << QStringList { "--explain-text", "--", "--" } << "--";
        QTest::newRow("Qt's option first") << QStringList { "-reverse", "--explain-text", "x" } << "x";
    }

    void textsThatLookLikeOptionsAreTheUsers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, sent);
        QByteArray errors;
        QVERIFY2(run(arguments, {}, &errors) == 0, errors.constData());
        QCOMPARE(nextText(), sent);
    }

    // Texts over the limit are refused where they are given, naming the limit, and by the instance itself.
    void overlongTextsAreRefusedNamingTheLimit()
    {
        const QString limit = QStringLiteral("at most 100,000 characters");
        QByteArray errors;
        QCOMPARE(run({ "--explain-text", QString(100'001, u'x') }, {}, &errors), 2);
        QVERIFY2(errors.contains(limit.toUtf8()), errors.constData());
        QCOMPARE(run({ "--explain-text", "-" }, QByteArray(8 << 20, 'y'), &errors), 2);
        QVERIFY2(errors.contains(limit.toUtf8()), errors.constData());
        const QDBusMessage refused = callForReply("ExplainText", { QString(100'001, u'z') });
        QCOMPARE(refused.errorName(), QStringLiteral("org.quillora.Quillora.Error.TooLong"));
        QVERIFY(refused.errorMessage().contains(limit));
        QCOMPARE(m_stub->requests().size(), m_requestsTaken);
    }

    // A message too large for the entry is dropped unread; the entry keeps answering, a normal call included.
    void oversizedMessagesLeaveTheEntryAnswering()
    {
        for (const qsizetype size : { qsizetype(ServiceHandler::maximumMessageSize) + 1, qsizetype(64) << 20 }) {
            const QDBusMessage dropped = callForReply("ExplainText", { QString(size, u'w') });
            QCOMPARE(dropped.type(), QDBusMessage::ErrorMessage);
            QCOMPARE(dropped.errorName(), QStringLiteral("org.freedesktop.DBus.Error.NoReply"));
            const auto ping = [] {
                return QDBusConnection::sessionBus()
                    .call(QDBusMessage::createMethodCall(
                              service, "/org/quillora/Quillora", "org.freedesktop.DBus.Peer", "Ping"),
                        QDBus::Block, 1000)
                    .type();
            };
            QTRY_COMPARE_WITH_TIMEOUT(ping(), QDBusMessage::ReplyMessage, 10000);
            QCOMPARE(call("ExplainText", { QStringLiteral("still heard") }), QDBusMessage::ReplyMessage);
            QCOMPARE(nextText(), QStringLiteral("still heard"));
        }
    }

    // ssh, cron: no display, yet the request reaches the running instance.
    void forwardsWithoutADisplay()
    {
        QCOMPARE(run({ "--explain-text", "from a console" }, {}, nullptr, false), 0);
        QCOMPARE(nextText(), QStringLiteral("from a console"));
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
        QTest::newRow("text and a word") << QStringList { "--explain-text", "-style", "x" };
        QTest::newRow("-- ends the options") << QStringList { "--", "--ask" };
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
        QTRY_COMPARE_WITH_TIMEOUT(xdotool("getwindowfocus").value(0), card, 5000);
        QProcess::execute("xdotool", { "type", "--delay", "10", "why is the sky blue" });
        xdotool("key Return");
        QCOMPARE(nextText(), QStringLiteral("why is the sky blue"));
    }

    // A burst of calls: a few pass, the rest are refused at once and never reach the service.
    void burstsOfCallsAreDropped()
    {
        QList<QDBusPendingCall> calls;
        for (int i = 0; i < 40; ++i) {
            auto message = QDBusMessage::createMethodCall(service, "/org/quillora/Quillora", service, "ExplainText");
            message.setArguments({ QStringLiteral("burst %1").arg(i) });
            calls << QDBusConnection::sessionBus().asyncCall(message, 5000);
        }
        int passed = 0;
        for (QDBusPendingCall& pending : calls) {
            pending.waitForFinished();
            if (!pending.isError())
                ++passed;
            else
                QCOMPARE(pending.error().name(), QStringLiteral("org.quillora.Quillora.Error.TooManyRequests"));
        }
        QVERIFY2(passed <= ServiceHandler::burstSize + 1, qPrintable(QString::number(passed)));
        QVERIFY(m_stub->requests().size() - m_requestsTaken <= passed);

        // The last call let through keeps its card: the "too many requests" notice does not replace it, not
        // even after the notice's own delay would have run out.
        const auto cardShown = [this] {
            const QStringList windows = ourWindows();
            return std::any_of(windows.cbegin(), windows.cend(),
                [](const QString& w) { return xdotool("getwindowgeometry " + w).join(' ').contains("300x400"); });
        };
        QTRY_VERIFY(cardShown());
        QTest::qWait(3500);
        QVERIFY(cardShown());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
