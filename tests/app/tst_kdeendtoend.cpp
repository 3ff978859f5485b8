// The real program on KDE Plasma's Wayland session (tests/support/with-kde-wayland.sh), against a local stub
// service: its keys come from the desktop's GlobalShortcuts portal, pressed through the RemoteDesktop portal,
// the selection of a GTK editor is read through AT-SPI, and screenshots come from the Screenshot portal.
#include "platform/wayland/datacontrolpasteboard.h"
#include "platform/wayland/portalglobalhotkeys.h"
#include "portaldesktop.h"
#include "quilloraundertest.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace {
// A point on the card's plate when the card opens beside a pointer at (700, 300): it is 300 x 400, its corner
// just right of and below the pointer. A card centred on the screen would not cover it.
const QList<QPoint> cardPoint { QPoint(700 + 60, 300 + 200) };
} // namespace

using namespace portaldesktop;

class TestKdeEndToEnd : public QObject {
    Q_OBJECT

    QuilloraUnderTest m_quillora;
    QProcess m_elsewhere; // a window to click into

private slots:
    void initTestCase()
    {
        m_elsewhere.start("/usr/bin/python3", { QUILLORA_TEST_PAD, "--title", "Elsewhere" });
        QTRY_VERIFY_WITH_TIMEOUT(m_elsewhere.canReadLine(), 15000);
        QVERIFY(m_quillora.start(QUILLORA_E2E_PROGRAM));
    }

    void cleanupTestCase()
    {
        QVERIFY(m_quillora.stop()); // still running after every test
        // KDE keeps the keys bound after the program has gone; given back, they are free for the next test
        // program in this desktop.
        for (const char* id : { "quillora-1", "quillora-2", "quillora-3" }) {
            auto unregister = QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("unregister"));
            unregister << PortalGlobalHotkeys::sessionToken << QString::fromLatin1(id);
            QDBusConnection::sessionBus().call(unregister);
        }
        m_elsewhere.kill();
        m_elsewhere.waitForFinished(2000);
    }

    // Alt+X reaches Quillora through the desktop's shortcut service once it has bound the key; the editor's
    // selected word is read through AT-SPI and sent, and the card opens beside the pointer.
    void altXExplainsTheSelectedWord_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("GTK 3 editor") << QStringLiteral("/usr/bin/python3")
                                      << QStringList { QUILLORA_TEST_PAD, "--select", "4", "9" };
        QTest::newRow("Qt 6 editor") << QStringLiteral(QUILLORA_QT6_PAD)
                                     << QStringList { "The quick brown fox", "4", "9" };
    }
    void altXExplainsTheSelectedWord()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QProcess pad;
        pad.start(program, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(pad.canReadLine(), 15000);
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:700,300")));
        QJsonObject request;
        for (int attempt = 0; attempt < 10 && request.isEmpty(); ++attempt) {
            QVERIFY(send(QStringLiteral("alt+x")));
            request = m_quillora.nextRequest(2000);
        }
        QCOMPARE(request.value("selectedText").toString(), QStringLiteral("quick"));
        QVERIFY(cardShows(cardPoint));
        QVERIFY(send(QStringLiteral("escape")));
        pad.kill();
        pad.waitForFinished(2000);
        QVERIFY(cardShows(cardPoint, false));
    }

    // Alt+A opens the question card beside the pointer, opaque; it takes the keyboard on a click.
    void altAOpensTheQuestionCard()
    {
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:700,300 alt+a")));
        QVERIFY(cardShows(cardPoint));
        // A click on the card gives it the keyboard; the question typed goes out.
        QVERIFY(send(QStringLiteral("move:150,200 click h i return")));
        QCOMPARE(m_quillora.nextRequest().value("selectedText").toString(), QStringLiteral("hi"));
        // Escape closes it, leaving no window behind; so does a click elsewhere once the card had the keyboard.
        QVERIFY(send(QStringLiteral("escape")));
        QVERIFY(cardShows(cardPoint, false));
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:700,300 alt+a")));
        QVERIFY(cardShows(cardPoint));
        // The other window is centred on the screen; its right part is out of the card's way.
        QVERIFY(send(QStringLiteral("move:150,200 click move:300,0 click")));
        QVERIFY(cardShows(cardPoint, false));
    }

    // Alt+Z freezes the screen under the overlay; a drag sends the dragged pixels as a JPEG.
    void altZSendsTheDraggedRegion()
    {
        QVERIFY(send(QStringLiteral("alt+z")));
        QTest::qWait(2500); // the desktop's screenshot, then the overlay
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:300,200 press move:200,50 move:200,50 release")));
        const QJsonObject body = m_quillora.nextRequest();
        QCOMPARE(QuilloraUnderTest::jpegSize(body), QSize(400, 100));
    }

    // Where accessibility reads nothing, Alt+X copies the selection through the RemoteDesktop portal, and the
    // clipboard holds again what it held before, in every format.
    void altXCopiesWhereAccessibilityReadsNothing()
    {
        std::unique_ptr<DataControlPasteboard> clipboard = DataControlPasteboard::create();
        QVERIFY(clipboard);
        const PasteboardSnapshot before { { { QStringLiteral("text/plain"), QByteArray("kept") },
            { QStringLiteral("text/html"), QByteArray("<b>kept</b>") },
            { QStringLiteral("x-kde-passwordManagerHint"), QByteArray("secret") } } };
        clipboard->restore(before);
        QProcess pad;
        pad.start("/usr/bin/python3",
            { QUILLORA_TEST_PAD, "--canvas", "--text", "copy only this part", "--select", "5", "14" });
        QTRY_VERIFY_WITH_TIMEOUT(pad.canReadLine(), 15000);
        QTest::qWait(500);
        QVERIFY(send(QStringLiteral("alt+x")));
        QCOMPARE(m_quillora.nextRequest().value("selectedText").toString(), QStringLiteral("only this"));
        QTRY_COMPARE_WITH_TIMEOUT(
            QCoro::waitFor(clipboard->text()), std::optional<QString>(QStringLiteral("kept")), 5000);
        const std::optional<PasteboardSnapshot> after = QCoro::waitFor(clipboard->snapshot());
        QVERIFY(after);
        for (const auto& [format, data] : before.formats) {
            const auto kept = std::find_if(after->formats.cbegin(), after->formats.cend(),
                [&](const auto& entry) { return entry.first == format; });
            QVERIFY2(kept != after->formats.cend() && kept->second == data, qPrintable(format));
        }
        QVERIFY(send(QStringLiteral("escape"))); // the card
        pad.kill();
        pad.waitForFinished(2000);
    }

    // In a terminal, Alt+X never interrupts the running program: it gets its own copy shortcut at most. One is on
    // the accessibility bus, the other an X11 program that the bus does not see.
    void altXNeverInterruptsATerminal_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("lxterminal") << QStringLiteral("lxterminal");
        QTest::newRow("xterm") << QStringLiteral("xterm");
    }
    void altXNeverInterruptsATerminal()
    {
        QFETCH(QString, program);
        const QString interrupted = m_quillora.config.filePath("interrupted-" + program);
        const QString script = m_quillora.config.filePath("trap.sh");
        QFile words(script);
        QVERIFY(words.open(QIODevice::WriteOnly | QIODevice::Truncate));
        words.write(QStringLiteral("trap 'echo x >> %1' INT\necho selectme\nwhile :; do sleep 0.1; done\n")
                        .arg(interrupted)
                        .toUtf8());
        words.close();
        QProcess terminal;
        terminal.start(program, { "-e", "sh " + script });
        QVERIFY(terminal.waitForStarted());
        QTest::qWait(3000); // the window on screen
        // Clicked into, centred on the screen by the desktop, so that it has the keyboard.
        const QString clickIn = QStringLiteral("move:-4000,-4000 move:960,540 click");
        QVERIFY(send(clickIn));
        QTest::qWait(500);
        QVERIFY(send(QStringLiteral("alt+x")));
        QTest::qWait(1500); // whatever Alt+X sends has arrived
        QVERIFY2(!QFile::exists(interrupted), "the program in the terminal got an interrupt");
        // Ctrl+C pressed now does interrupt it: the terminal had the keyboard.
        QVERIFY(send(QStringLiteral("escape"))); // the notice Alt+X may have left
        QTest::qWait(1000);
        QVERIFY(send(clickIn + QStringLiteral(" ctrl+c")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(interrupted), 5000);
        terminal.kill();
        terminal.waitForFinished(2000);
        m_quillora.skipRequests(); // the terminal's selection, if it had any, is not checked
    }
};

int main(int argc, char* argv[])
{
    return runInWaylandDesktop<TestKdeEndToEnd>(argc, argv, "KDE", "with-kde-wayland.sh");
}

#include "tst_kdeendtoend.moc"
