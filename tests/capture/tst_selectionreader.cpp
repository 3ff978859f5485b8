// The reader and the application context against real applications on the test desktop: a GTK 3 text
// view (accessible or not), xterm, and a clipboard that holds several formats.
#include "capture/accessibilityreader.h"
#include "capture/appcontext.h"
#include "platform/platform.h"
#include "platform/x11/x11util.h"

#include <QBuffer>
#include <QClipboard>
#include <QCoroTask>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestSelectionReader : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    // Starts a helper, with the accessibility bridge off when asked; with firstLine, waits for that line.
    QProcess* start(
        const QString& program, const QStringList& arguments, QByteArray* firstLine = nullptr, bool accessible = true)
    {
        QProcess* process = m_processes.emplace_back(std::make_unique<QProcess>()).get();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!accessible)
            env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
        for (int i = 0; firstLine && i < 200 && !process->canReadLine(); ++i)
            QTest::qWait(50);
        if (firstLine)
            *firstLine = process->readLine().trimmed();
        return process;
    }

    // The GTK 3 test pad, once it is the active window; returns its "ready X Y W H" line.
    QList<QByteArray> startPad(const QStringList& arguments, bool accessible = true)
    {
        QByteArray ready;
        QProcess* pad = start(QStringLiteral("/usr/bin/python3"),
            QStringList { QStringLiteral(QUILLORA_TEST_SOURCE_DIR "/testpad.py") } + arguments, &ready, accessible);
        activate(pad->processId());
        return ready.split(' ');
    }

    // Asks the window manager until the helper's window is the active one: a busy one may drop a request.
    static void activate(qint64 pid)
    {
        const auto active = [pid] {
            const auto app = Platform::current().frontmostApplication->current();
            return app && app->pid == pid;
        };
        for (int i = 0; i < 20 && !QTest::qWaitFor(active, 500); ++i)
            QProcess::execute(QStringLiteral("xdotool"),
                { "search", "--sync", "--onlyvisible", "--pid", QString::number(pid), ".", "windowactivate", "%1" });
        QVERIFY(active());
    }

    static SelectionReading read()
    {
        AccessibilityReader reader;
        return QCoro::waitFor(reader.readSelection());
    }

    // One target of the clipboard as another X client gets it (our event loop may have to serve it).
    static QByteArray clipboardTarget(const QString& mime)
    {
        QProcess xclip;
        const QString target = mime == QLatin1String("text/plain") ? QStringLiteral("UTF8_STRING") : mime;
        xclip.start(QStringLiteral("xclip"), { "-o", "-selection", "clipboard", "-t", target });
        for (int i = 0; i < 100 && xclip.state() != QProcess::NotRunning; ++i)
            QTest::qWait(30);
        return xclip.readAllStandardOutput();
    }

    static qint64 clipboardOwnerPid()
    {
        xcb_connection_t* c = X11::connection();
        auto* reply = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, X11::atom("CLIPBOARD")), nullptr);
        const xcb_window_t owner = reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
        std::free(reply);
        return X11::processOfWindow(owner);
    }

    void ownPrimaryElsewhere()
    {
        QProcess* xclip = start(QStringLiteral("xclip"), { "-i", "-selection", "primary", "-quiet" });
        xclip->write("from another application");
        xclip->closeWriteChannel();
        QTest::qWait(200);
    }

    // Another application owning the clipboard with these formats (mime type, bytes).
    QProcess* ownClipboard(const QList<QPair<QString, QByteArray>>& formats)
    {
        QStringList arguments;
        for (const auto& [mime, bytes] : formats)
            arguments << mime << QString::fromLatin1(bytes.toBase64());
        QByteArray line;
        QProcess* owner = start(QStringLiteral(QUILLORA_CLIPBOARD_OWNER), arguments, &line);
        return line == "owned" ? owner : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // A desktop entry for the test pad, where desktops keep the user's own.
        qputenv("XDG_DATA_HOME", m_dir.path().toUtf8());
        QDir(m_dir.path()).mkpath(QStringLiteral("applications"));
        QFile entry(m_dir.filePath(QStringLiteral("applications/org.quillora.TestPad.desktop")));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Test Pad Deluxe\nName[de]=Testblock\nExec=true\n");
        entry.close();
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(QCoro::waitFor(Platform::current().accessibility->isUsable()));
    }

    void cleanup()
    {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished(2000);
        }
        m_processes.clear();
    }

    void accessibleSelectionWithItsScreenBox_data()
    {
        QTest::addColumn<QStringList>("pad");
        QTest::addColumn<QString>("selected");
        QTest::newRow("word") << QStringList { "--text", "The quick brown fox", "--select", "4", "9" } << "quick";
        QTest::newRow("blanks") << QStringList { "--text", "a   \tb", "--select", "1", "5" } << "   \t";
    }

    void accessibleSelectionWithItsScreenBox()
    {
        QFETCH(QStringList, pad);
        QFETCH(QString, selected);
        const QList<QByteArray> box = startPad(pad);
        QCOMPARE(box.size(), 5);
        const SelectionReading reading = read();
        QCOMPARE(reading.text, selected);
        // Where GTK itself laid the selected characters out on screen (window manager frame included).
        QVERIFY(reading.bounds && reading.bounds->height() > 0);
        const QRectF gtk(box[1].toInt(), box[2].toInt(), box[3].toInt(), box[4].toInt());
        QVERIFY2(qAbs(reading.bounds->x() - gtk.x()) <= 2 && qAbs(reading.bounds->y() - gtk.y()) <= 2
                && qAbs(reading.bounds->width() - gtk.width()) <= 2,
            qPrintable(QStringLiteral("GTK %1,%2 %3 wide").arg(gtk.x()).arg(gtk.y()).arg(gtk.width())));
    }

    void primarySelectionAndContextOfAnInaccessibleGtkWindow()
    {
        QProcess* owner = ownClipboard({ { "text/plain", "kept" } });
        QVERIFY(owner);
        startPad({ "--text", "nothing accessible here", "--select", "8", "18", "--title", "Draft – notes" }, false);
        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("accessible"));
        QVERIFY(!reading.bounds);
        QCOMPARE(clipboardOwnerPid(), owner->processId()); // no copy shortcut was needed

        const auto gtk = AppContextCapture::capture(*Platform::current().frontmostApplication);
        QVERIFY(gtk);
        QCOMPARE(gtk->bundleID, QStringLiteral("org.quillora.TestPad"));
        QCOMPARE(gtk->appName, QStringLiteral("Test Pad Deluxe"));
        QCOMPARE(gtk->appCategory, QStringLiteral("general"));
        QCOMPARE(gtk->windowTitle, QStringLiteral("Draft – notes"));
    }

    // The pad offers no PRIMARY, and another application's PRIMARY must not be taken for its selection.
    void copyShortcutLeavesEveryFormatAsItWas_data()
    {
        QTest::addColumn<QStringList>("select");
        QTest::addColumn<QString>("expected"); // null: nothing read
        QTest::newRow("copied") << QStringList { "--select", "5", "14" } << "only this";
        QTest::newRow("nothing copied") << QStringList {} << QString();
    }

    void copyShortcutLeavesEveryFormatAsItWas()
    {
        QFETCH(QStringList, select);
        QFETCH(QString, expected);
        QImage image(24, 16, QImage::Format_ARGB32);
        image.fill(qRgba(30, 60, 128, 200));
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
        const QList<QPair<QString, QByteArray>> formats { { "image/png", png },
            { "text/html", "<meta charset=\"utf-8\"><b>bold</b> &amp; <i>süß</i>" }, { "text/plain", "bold & süß" } };
        QProcess* owner = ownClipboard(formats);
        QVERIFY(owner);
        ownPrimaryElsewhere();
        startPad(QStringList { "--text", "copy only this part", "--no-primary" } + select, false);

        const SelectionReading reading = read();
        QCOMPARE(reading.text.value_or(QString()), expected);
        QCOMPARE(reading.text.has_value(), !expected.isNull());
        QVERIFY(!reading.bounds);
        // Restored and kept by us after a copy; never taken over when nothing was copied.
        QCOMPARE(clipboardOwnerPid(), expected.isNull() ? owner->processId() : QCoreApplication::applicationPid());
        for (const auto& [mime, bytes] : formats)
            QCOMPARE(clipboardTarget(mime), bytes);
    }

    void terminalSelectionNeverInterruptsTheProgram()
    {
        const QString interrupted = m_dir.filePath(QStringLiteral("interrupted"));
        const QString script
            = QStringLiteral("trap 'echo x >> %1' INT; echo selectme please; while :; do sleep 0.1; done")
                  .arg(interrupted);
        QProcess* term = start(
            QStringLiteral("xterm"), { "-T", "QuilloraTerm", "-geometry", "60x8+100+100", "-e", "sh", "-c", script });
        activate(term->processId());
        // Double-click the first word until we see xterm hold it as PRIMARY: it may not have drawn it yet.
        const auto selected = [] { return QGuiApplication::clipboard()->text(QClipboard::Selection) == "selectme"; };
        for (int i = 0; i < 20 && !QTest::qWaitFor(selected, 500); ++i)
            QProcess::execute(QStringLiteral("xdotool"),
                { "search", "--sync", "--name", "QuilloraTerm", "mousemove", "--window", "%1", "20", "8", "click",
                    "--repeat", "2", "--delay", "80", "1" });
        const auto xterm = AppContextCapture::capture(*Platform::current().frontmostApplication);
        QVERIFY(xterm);
        QCOMPARE(xterm->bundleID, QStringLiteral("debian-xterm")); // its desktop entry on the test desktop
        QCOMPARE(xterm->appName, QStringLiteral("XTerm"));
        QCOMPARE(xterm->appCategory, QStringLiteral("terminal"));
        QCOMPARE(xterm->windowTitle, QStringLiteral("QuilloraTerm"));
        QCOMPARE(read().text, QStringLiteral("selectme"));

        // With its selection gone elsewhere, a reading must not fall back to a key stroke.
        ownPrimaryElsewhere();
        QVERIFY(!read().text);
        QTest::qWait(500);
        QVERIFY2(!QFile::exists(interrupted), "the program in the terminal got an interrupt");
        QCOMPARE(term->state(), QProcess::Running);
    }
};

QTEST_MAIN(TestSelectionReader)
#include "tst_selectionreader.moc"
