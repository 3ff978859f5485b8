// The real program under the test desktop, built against a local stub service and started through its launcher:
// its command line, its D-Bus entry and its single instance, checked by what reaches the service.
#include "app/servicehandler.h"
#include "quilloraundertest.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {
const QString service = QStringLiteral("org.quillora.Quillora");
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    QuilloraUnderTest m_quillora;
    QProcess m_pad;

    // Runs `quillora` with arguments to its end; returns its exit code (-1 when it did not end by itself).
    int run(const QStringList& arguments, const QByteArray& input = {}, QByteArray* errors = nullptr,
        bool withDisplay = true)
    {
        QProcess process;
        QProcessEnvironment env = m_quillora.environment();
        if (!withDisplay) {
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
        }
        process.setProcessEnvironment(env);
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
        return xdotool(QStringLiteral("search --onlyvisible --pid %1").arg(m_quillora.instance.processId()));
    }

    static QDBusMessage call(const QString& method, const QVariantList& arguments = {})
    {
        auto message = QDBusMessage::createMethodCall(service, "/org/quillora/Quillora", service, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }

    // The next request to reach the service, in arrival order; empty unless it is a whole InitialRequest.
    QJsonObject nextRequest()
    {
        const QJsonObject body = m_quillora.nextRequest();
        return !body.value("userId").toString().isEmpty() && body.value("appContext").isObject() ? body : QJsonObject();
    }

    QString nextText() { return nextRequest().value("selectedText").toString("<none>"); }

private slots:
    void initTestCase()
    {
        // The application the user works in.
        m_pad.start("/usr/bin/python3", { QUILLORA_TEST_PAD, "--title", "Reading", "--select", "4", "9" });
        QTRY_VERIFY_WITH_TIMEOUT(m_pad.canReadLine(), 10000);

        // Started by a request while none runs: the launcher, having read the text, becomes the full program,
        // which starts the instance and explains that text.
        QVERIFY(m_quillora.start(QUILLORA_E2E_PROGRAM, { "--explain-text", "-" }, "the first words\n"));
        QCOMPARE(nextText(), QStringLiteral("the first words\n"));
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
        QCOMPARE(m_quillora.instance.state(), QProcess::Running); // no second start or bad command line brought it down

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
        m_quillora.skipRequests();
        QCOMPARE(run({ "--explain-selection" }), 0);
        QCOMPARE(nextText(), QStringLiteral("only this"));
        owner.kill();
        owner.waitForFinished(2000);
        QTRY_COMPARE(clipboard("text/html"), QByteArray("<b>kept</b>")); // now Quillora's
        m_quillora.instance.terminate();
        QVERIFY(m_quillora.instance.waitForFinished(10000));
        QCOMPARE(m_quillora.instance.exitStatus(), QProcess::NormalExit);
        QCOMPARE(clipboard("text/html"), QByteArray("<b>kept</b>"));
        QCOMPARE(clipboard("text/plain"), QByteArray("kept"));
        for (QProcess* process : { &copyOnly, &manager }) {
            process->kill();
            process->waitForFinished(2000);
        }

        // An instance whose program an upgrade replaced on disk still takes the launcher's requests.
        QTemporaryDir upgraded;
        const QString program = upgraded.filePath(QStringLiteral("quillora"));
        QVERIFY(QFile::copy(QFileInfo(QStringLiteral(QUILLORA_E2E_PROGRAM)).dir().filePath("e2e/quillora"), program));
        QVERIFY(m_quillora.start(program));
        QVERIFY(QFile::copy(program, program + ".new")); // a new file renamed over it, as dpkg does
        QVERIFY(std::rename(qPrintable(program + ".new"), qPrintable(program)) == 0);
        m_quillora.skipRequests();
        QCOMPARE(run({ "--explain-text", "after an upgrade" }), 0);
        QCOMPARE(nextText(), QStringLiteral("after an upgrade"));
        QVERIFY(m_quillora.stop());

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

    // Each text reaches the service unchanged as one request with the frontmost application, even one that looks
    // like Qt's own option, and from a console without a display. Empty and overlong texts and bad command lines
    // are refused where they are given, saying why, and send nothing.
    void commandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("withDisplay");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("sent"); // null: nothing
        QTest::addColumn<QByteArrayList>("said"); // each in what it prints
        const QByteArrayList limit { "at most 100,000 characters" }, usage { "quillora: ", "\n\nUsage: quillora" };
        const auto row = [](const char* name, const QStringList& arguments, const QByteArray& input, bool display,
                             int code, const QString& sent, const QByteArrayList& said) {
            QTest::newRow(name) << arguments << input << display << code << sent << said;
        };
        // clang-format off
        row("blanks kept", { "--explain-text", "  photosynthesis  " }, {}, true, 0, "  photosynthesis  ", {});
        row("empty", { "--explain-text", "" }, {}, true, 2, {}, { "There is no text to explain." });
        row("from standard input", { "--explain-text=-" }, "line one\nline two\n", true, 0, "line one\nline two\n", {});
        row("empty standard input", { "--explain-text", "-" }, {}, true, 2, {}, {});
        row("without a display", { "--explain-text", "from a console" }, {}, false, 0, "from a console", {});
        row("overlong", { "--explain-text", QString(100'001, u'x') }, {}, true, 2, {}, limit);
        row("overlong standard input", { "--explain-text", "-" }, QByteArray(8 << 20, 'y'), true, 2, {}, limit);
        row("overlong in UTF-16", { "--explain-text", "-" }, QByteArray("\xF0\x9F\x98\x80").repeated(50'001), true, 2, {}, limit);
        row("not UTF-8", { "--explain-text", "-" }, "caf\xe9 ok", true, 0, QString::fromUtf8("caf\xEF\xBF\xBD ok"), {});
        row("-reverse", { "--explain-text", "-reverse" }, {}, true, 0, "-reverse", {});
        row("--platform", { "--explain-text", "--platform" }, {}, true, 0, "--platform", {});
        row("after --", { "--explain-text", "--", "-style" }, {}, true, 0, "-style", {});
        row("-- itself", { "--explain-text", "--", "--" }, {}, true, 0, "--", {});
        row("Qt's option first", { "-reverse", "--explain-text", "x" }, {}, true, 0, "x", {});
        row("missing text", { "--explain-text" }, {}, true, 2, {}, usage);
        row("unknown option", { "--explain-everything" }, {}, true, 2, {}, usage);
        row("two actions", { "--ask", "--explain-selection" }, {}, true, 2, {}, usage);
        row("value to a switch", { "--ask=now" }, {}, true, 2, {}, usage);
        row("stray word", { "--ask", "hello" }, {}, true, 2, {}, usage);
        row("text and a word", { "--explain-text", "-style", "x" }, {}, true, 2, {}, usage);
        row("-- ends the options", { "--", "--ask" }, {}, true, 2, {}, usage);
        // clang-format on
    }
    void commandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(bool, withDisplay);
        QFETCH(int, exitCode);
        QFETCH(QString, sent);
        QFETCH(QByteArrayList, said);
        QByteArray errors;
        QVERIFY2(run(arguments, input, &errors, withDisplay) == exitCode, errors.constData());
        for (const QByteArray& words : said)
            QVERIFY2(errors.contains(words), errors.constData());
        if (sent.isNull()) {
            QCOMPARE(m_quillora.untakenRequests(), 0); // a late one would be the next row's text
            return;
        }
        const QJsonObject body = nextRequest();
        QCOMPARE(body.value("selectedText").toString(), sent);
        QCOMPARE(body.value("appContext")["bundleID"].toString(), QStringLiteral("org.quillora.TestPad"));
        QCOMPARE(body.value("appContext")["windowTitle"].toString(), QStringLiteral("Reading"));
    }

    // D-Bus: a text is sent as given, an empty one is taken and sends nothing, an overlong one is refused naming
    // the limit. A message too large for the entry is dropped unread; the entry keeps answering.
    void dbusTextsAndOversizedMessages()
    {
        QCOMPARE(call("ExplainText", { QStringLiteral("über D-Bus") }).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(nextText(), QStringLiteral("über D-Bus"));
        QCOMPARE(call("ExplainText", { QString() }).type(), QDBusMessage::ReplyMessage);
        const QDBusMessage refused = call("ExplainText", { QString(100'001, u'z') });
        QCOMPARE(refused.errorName(), QStringLiteral("org.quillora.Quillora.Error.TooLong"));
        QVERIFY(refused.errorMessage().contains(QStringLiteral("at most 100,000 characters")));
        QCOMPARE(m_quillora.untakenRequests(), 0); // a late one would come before "still heard"
        for (const qsizetype size : { qsizetype(ServiceHandler::maximumMessageSize) + 1, qsizetype(64) << 20 }) {
            const QDBusMessage dropped = call("ExplainText", { QString(size, u'w') });
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
            QCOMPARE(call("ExplainText", { QStringLiteral("still heard") }).type(), QDBusMessage::ReplyMessage);
            QCOMPARE(nextText(), QStringLiteral("still heard"));
        }
    }

    // A drag on the overlay sends the region as a JPEG of its pixel size (the card's place at the region is
    // tst_popup's, the application the request names the command line rows' and tst_capturecoordinator's).
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
        QCOMPARE(QuilloraUnderTest::jpegSize(body), QSize(400, 200));

        xdotool("key Escape");
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
        QVERIFY(m_quillora.untakenRequests() <= passed);

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

    // Started again while it runs (from the application grid, say), Quillora shows its settings window.
    void startedAgainShowsItsSettings()
    {
        const auto settingsShown = [this] {
            const QStringList windows = ourWindows();
            return std::any_of(windows.cbegin(), windows.cend(),
                [](const QString& w) { return xdotool("getwindowname " + w).value(0) == u"Quillora Settings"; });
        };
        QVERIFY(!settingsShown());
        // The burst above may still hold the entry's budget: a refused start says so and is tried again.
        QTRY_COMPARE_WITH_TIMEOUT(run({}), 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(settingsShown(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
