// The reader and the application context against real applications on the test desktop: a GTK 3 text
// view (accessible or not), xterm, and a clipboard that holds several formats.
#include "capture/accessibilityreader.h"
#include "capture/appcontext.h"
#include "platform/platform.h"
#include "platform/x11/x11util.h"

#include <QBuffer>
#include <QCoroTask>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString testPad = QStringLiteral(QUILLORA_TEST_SOURCE_DIR "/testpad.py");

QByteArray pngImage()
{
    QImage image(24, 16, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 10, y * 15, 128, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class TestSelectionReader : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;

    // Starts a helper and waits for its first line; returns that line.
    QProcess* start(const QString& program, const QStringList& arguments, QByteArray* firstLine,
        const QMap<QString, QString>& environment = {})
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (auto it = environment.cbegin(); it != environment.cend(); ++it)
            env.insert(it.key(), it.value());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
        QProcess* raw = process.get();
        m_processes.push_back(std::move(process));
        if (firstLine) {
            for (int i = 0; i < 200 && !raw->canReadLine(); ++i)
                QTest::qWait(50);
            *firstLine = raw->readLine().trimmed();
        }
        return raw;
    }

    QProcess* startPad(const QStringList& arguments, bool accessible, QByteArray* ready = nullptr)
    {
        QByteArray line;
        QMap<QString, QString> env;
        if (!accessible)
            env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        QProcess* pad = start(QStringLiteral("/usr/bin/python3"), QStringList { testPad } + arguments, &line, env);
        if (ready)
            *ready = line;
        waitUntilFrontmost(pad->processId());
        return pad;
    }

    static void waitUntilFrontmost(qint64 pid)
    {
        for (int i = 0; i < 100; ++i) {
            const auto app = Platform::current().frontmostApplication->current();
            if (app && app->pid == pid)
                return;
            QTest::qWait(50);
        }
    }

    static SelectionReading read()
    {
        AccessibilityReader reader;
        return QCoro::waitFor(reader.readSelection());
    }

    // The clipboard's content for one target, fetched by another X client (so our process must serve it).
    static QByteArray clipboardTarget(const QString& target)
    {
        QProcess xclip;
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

    QProcess* ownPrimaryElsewhere(const QByteArray& text)
    {
        QProcess* xclip = start(QStringLiteral("xclip"), { "-i", "-selection", "primary", "-quiet" }, nullptr);
        xclip->waitForStarted();
        xclip->write(text);
        xclip->closeWriteChannel();
        QTest::qWait(200);
        return xclip;
    }

    QProcess* ownClipboard(const QList<QPair<QString, QByteArray>>& formats)
    {
        QStringList arguments;
        for (const auto& [mime, bytes] : formats) {
            const QString path = m_dir.filePath(QString::number(qHash(mime)));
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            arguments << mime << path;
        }
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

    void accessibleSelectionWithItsScreenBox()
    {
        QByteArray ready;
        startPad({ "--text", "The quick brown fox", "--select", "4", "9" }, true, &ready);
        const QList<QByteArray> box = ready.split(' ');
        QCOMPARE(box.size(), 5);

        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("quick"));
        QVERIFY(reading.bounds.has_value());
        // Where GTK itself laid the selected characters out on screen (window manager frame included).
        QVERIFY2(qAbs(reading.bounds->x() - box[1].toInt()) <= 2, qPrintable(QString::number(reading.bounds->x())));
        QVERIFY2(qAbs(reading.bounds->y() - box[2].toInt()) <= 2, qPrintable(QString::number(reading.bounds->y())));
        QVERIFY(qAbs(reading.bounds->width() - box[3].toInt()) <= 2);
        QVERIFY(reading.bounds->height() > 0);
    }

    void blanksComeBackUnchanged()
    {
        startPad({ "--text", "a   \tb", "--select", "1", "5" }, true);
        QCOMPARE(read().text, QStringLiteral("   \t"));
    }

    void applicationContextOfAGtkWindow()
    {
        startPad({ "--title", "Draft – notes" }, true);
        const std::optional<AppContext> context = AppContextCapture::capture(*Platform::current().frontmostApplication);
        QVERIFY(context);
        QCOMPARE(context->bundleID, QStringLiteral("org.quillora.TestPad"));
        QCOMPARE(context->appName, QStringLiteral("Test Pad Deluxe"));
        QCOMPARE(context->appCategory, QStringLiteral("general"));
        QCOMPARE(context->windowTitle, QStringLiteral("Draft – notes"));
    }

    void primarySelectionOfTheFrontmostApplication()
    {
        QProcess* owner = ownClipboard({ { "text/plain", "kept" } });
        QVERIFY(owner);
        startPad({ "--text", "nothing accessible here", "--select", "8", "18" }, false);

        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("accessible"));
        QVERIFY(!reading.bounds);
        QCOMPARE(clipboardOwnerPid(), owner->processId()); // no copy shortcut was needed
    }

    void copyShortcutRestoresEveryFormatByteForByte()
    {
        const QByteArray png = pngImage();
        const QByteArray html = "<meta charset=\"utf-8\"><b>bold</b> &amp; <i>süß</i>";
        const QByteArray text = "bold & süß";
        QProcess* owner = ownClipboard({ { "image/png", png }, { "text/html", html }, { "text/plain", text } });
        QVERIFY(owner);
        // Another application's PRIMARY must not be taken for the selection of the pad.
        ownPrimaryElsewhere("from another application");
        startPad({ "--text", "copy only this part", "--select", "5", "14", "--no-primary" }, false);

        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("only this"));
        QVERIFY(!reading.bounds);

        QCOMPARE(clipboardOwnerPid(), QCoreApplication::applicationPid()); // restored and kept by Quillora
        QCOMPARE(clipboardTarget(QStringLiteral("image/png")), png);
        QCOMPARE(clipboardTarget(QStringLiteral("text/html")), html);
        QCOMPARE(clipboardTarget(QStringLiteral("UTF8_STRING")), text);
    }

    void nothingCopiedLeavesTheClipboardAlone()
    {
        QProcess* owner = ownClipboard({ { "text/plain", "untouched" }, { "text/html", "<p>untouched</p>" } });
        QVERIFY(owner);
        ownPrimaryElsewhere("from another application");
        startPad({ "--text", "no selection at all", "--no-primary" }, false);

        const SelectionReading reading = read();
        QVERIFY(!reading.text);
        QCOMPARE(clipboardOwnerPid(), owner->processId());
    }

    void terminalSelectionNeverInterruptsTheProgram()
    {
        const QString interrupted = m_dir.filePath(QStringLiteral("interrupted"));
        const QString script = QStringLiteral("trap 'echo x >> %1' INT; echo selectme please; while :; do sleep 0.1; done")
                                   .arg(interrupted);
        QProcess* term = start(QStringLiteral("xterm"),
            { "-T", "QuilloraTerm", "-geometry", "60x8+100+100", "-e", "sh", "-c", script }, nullptr);
        QProcess search;
        search.start(QStringLiteral("xdotool"), { "search", "--sync", "--name", "QuilloraTerm" });
        QVERIFY(search.waitForFinished(10000));
        const QByteArray window = search.readAllStandardOutput().trimmed();
        QVERIFY(!window.isEmpty());
        QTest::qWait(300);
        QProcess::execute(QStringLiteral("xdotool"),
            { "mousemove", "--window", window, "20", "8", "click", "--repeat", "2", "--delay", "80", "1" });
        waitUntilFrontmost(term->processId());

        const std::optional<AppContext> context = AppContextCapture::capture(*Platform::current().frontmostApplication);
        QVERIFY(context);
        QCOMPARE(context->appCategory, QStringLiteral("terminal"));
        QCOMPARE(context->appName, QStringLiteral("XTerm"));
        QCOMPARE(context->windowTitle, QStringLiteral("QuilloraTerm"));

        QCOMPARE(read().text, QStringLiteral("selectme"));

        // With its selection gone elsewhere, a reading must not fall back to a key stroke.
        ownPrimaryElsewhere("elsewhere");
        QVERIFY(!read().text);
        QTest::qWait(500);
        QVERIFY2(!QFile::exists(interrupted), "the program in the terminal got an interrupt");
        QCOMPARE(term->state(), QProcess::Running);
    }
};

QTEST_MAIN(TestSelectionReader)
#include "tst_selectionreader.moc"
