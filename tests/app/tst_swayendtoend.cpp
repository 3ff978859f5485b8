// The real program on Sway (tests/support/with-sway.sh), against a local stub service. Sway gives programs no
// global keys: its own key bindings run the launcher, as the README tells users to bind them. Keys come from a
// virtual keyboard (wtype), the pointer from Sway's seat commands and a virtual pointer.
#include "quilloraundertest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <functional>

namespace {
bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Presses Alt and key together through a virtual keyboard, as a hand would.
bool altPlus(const QString& key) { return run("wtype", { "-M", "alt", key, "-m", "alt" }); }

bool swaymsg(const QString& command) { return run("swaymsg", { command }); }

// Where the process pid shows its screenshot overlay (full screen) or its card (a floating window 300 wide), if it
// does.
std::optional<QRect> overlayOrCardOf(qint64 pid)
{
    QProcess tree;
    tree.start("swaymsg", { "-t", "get_tree" });
    if (!tree.waitForFinished(10000))
        return std::nullopt;
    const std::function<std::optional<QRect>(const QJsonObject&)> search
        = [&](const QJsonObject& node) -> std::optional<QRect> {
        const QJsonObject rect = node.value("rect").toObject();
        if (node.value("pid").toInteger() == pid
            && (node.value("fullscreen_mode").toInt() != 0
                || (node.value("type") == QLatin1String("floating_con") && rect["width"].toInt() == 300)))
            return QRect(rect["x"].toInt(), rect["y"].toInt(), rect["width"].toInt(), rect["height"].toInt());
        for (const char* children : { "nodes", "floating_nodes" }) {
            for (const QJsonValue child : node.value(children).toArray()) {
                if (const std::optional<QRect> found = search(child.toObject()))
                    return found;
            }
        }
        return std::nullopt;
    };
    return search(QJsonDocument::fromJson(tree.readAllStandardOutput()).object());
}

// Left of the middle, where no window of Quillora's is.
const QPoint inTheFirstWindow(200, 800);
} // namespace

class TestSwayEndToEnd : public QObject {
    Q_OBJECT

    QuilloraUnderTest m_quillora;
    QProcess m_pointer;

    // Binds Mod1+key to the launcher with these options, in the README's words, through Sway's command for a
    // binding that runs as the session's user (tests/support/with-sway.sh).
    static bool bind(const QString& key, const QString& options)
    {
        const QString command = QStringLiteral(QUILLORA_E2E_PROGRAM " ") + options;
        QFile allowed(qEnvironmentVariable("QUILLORA_SWAY_EXEC_ALLOWED"));
        if (!allowed.open(QIODevice::Append) || allowed.write((command + u'\n').toUtf8()) < 0)
            return false;
        allowed.close();
        return swaymsg(
            QStringLiteral("bindsym Mod1+%1 exec %2 %3").arg(key, qEnvironmentVariable("QUILLORA_SWAY_EXEC"), command));
    }

    // Drives the virtual pointer (tests/support/virtualpointer.cpp): "press", "release", "move DX DY".
    bool pointer(const QByteArray& command)
    {
        m_pointer.write(command + '\n');
        return m_pointer.waitForReadyRead(5000) && m_pointer.readLine() == "done\n";
    }

    // Moves the pointer to a point of the screen.
    static bool pointerTo(QPoint point)
    {
        return swaymsg(QStringLiteral("seat seat0 cursor set %1 %2").arg(point.x()).arg(point.y()));
    }

    // Starts a test pad, and with clickToSelect clicks into it, which selects its text (testpad.py --primary).
    bool startPad(QProcess& pad, const QStringList& arguments, bool clickToSelect = false)
    {
        pad.start(QStringLiteral("/usr/bin/python3"), QStringList { QUILLORA_TEST_PAD } + arguments);
        if (!QTest::qWaitFor([&] { return pad.canReadLine(); }, 15000) || !pad.readLine().startsWith("ready"))
            return false;
        if (!clickToSelect)
            return true;
        // At once: Quillora learns of the window's activation from Sway, in order with the selection's announcement.
        return (pointerTo(inTheFirstWindow) && pointer("press") && pointer("release")
            && QTest::qWaitFor([&] { return pad.canReadLine(); }, 5000) && pad.readLine() == "selected\n");
    }

    // Whether the card or the screenshot overlay shows (or, with shown false, neither does) within 10 s.
    bool quilloraShows(bool shown = true, std::chrono::milliseconds within = std::chrono::seconds(10))
    {
        return QTest::qWaitFor(
            [&] { return overlayOrCardOf(m_quillora.instance.processId()).has_value() == shown; }, int(within.count()));
    }

private slots:
    void initTestCase()
    {
        m_pointer.start(QUILLORA_VIRTUAL_POINTER, {});
        QVERIFY(m_pointer.waitForReadyRead(10000) && m_pointer.readLine() == "ready\n");
        QVERIFY(m_quillora.start(QUILLORA_E2E_PROGRAM));
        QVERIFY(bind("x", "--explain-selection"));
        QVERIFY(bind("z", "--explain-screenshot"));
    }

    void cleanupTestCase()
    {
        QVERIFY(m_quillora.stop()); // still running after every test
        // Given back for the next test program in this desktop.
        swaymsg("unbindsym Mod1+x");
        swaymsg("unbindsym Mod1+z");
        m_pointer.closeWriteChannel();
        QVERIFY(m_pointer.waitForFinished(5000));
    }

    // Alt+X runs the launcher; the running Quillora reads the selection through AT-SPI where the program shows its
    // text there, else from the primary selection it set since its window became active. No key is sent to it.
    void altXExplainsTheSelection_data()
    {
        QTest::addColumn<QStringList>("pad");
        QTest::addColumn<bool>("clickToSelect");
        QTest::addColumn<QString>("selected");
        QTest::newRow("GTK 3 editor") << QStringList { "--select", "4", "9" } << false << QStringLiteral("quick");
        QTest::newRow("drawn text, primary selection")
            << QStringList { "--canvas", "--primary", "--text", "copy only this part", "--select", "5", "14" } << true
            << QStringLiteral("only this");
    }
    void altXExplainsTheSelection()
    {
        QFETCH(QStringList, pad);
        QFETCH(bool, clickToSelect);
        QFETCH(QString, selected);
        QProcess editor;
        QVERIFY(startPad(editor, pad, clickToSelect));
        QVERIFY(altPlus("x"));
        QCOMPARE(m_quillora.nextRequest().value("selectedText").toString(), selected);
        QVERIFY(quilloraShows());
        if (clickToSelect) {
            // Sway opens the card in the middle; Quillora has it moved beside the pointer: to its right, and near
            // the bottom edge raised to fit.
            const qint64 pid = m_quillora.instance.processId();
            const auto beside = [&](const QRect& card) {
                return !card.contains(inTheFirstWindow) && card.top() < inTheFirstWindow.y()
                    && card.bottom() > inTheFirstWindow.y() && card.left() > inTheFirstWindow.x()
                    && card.left() < inTheFirstWindow.x() + 40;
            };
            QVERIFY(QTest::qWaitFor([&] { return beside(overlayOrCardOf(pid).value_or(QRect())); }, 5000));
        }
        // Again while the card shows, which Sway gives the keyboard.
        QVERIFY(altPlus("x"));
        QCOMPARE(m_quillora.nextRequest().value("selectedText").toString(), selected);
        // The card is shown anew for the second request, and an Escape sent while it is between its two showings
        // goes to the editor: pressed until the card has the keyboard and closes.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return run("wtype", { "-k", "Escape" }) && quilloraShows(false, std::chrono::milliseconds(500));
            },
            10000));
        QVERIFY2(!editor.readAll().contains("copy"), "a copy key reached the editor");
        editor.kill();
        editor.waitForFinished(2000);
    }

    // Alt+Z runs the launcher; the screen is frozen under the overlay, and a drag sends the dragged pixels.
    void altZSendsTheDraggedRegion()
    {
        QVERIFY(altPlus("z"));
        QVERIFY(quilloraShows()); // the overlay, shown before the portal's screenshot is there
        QTest::qWait(1000); // the screenshot, painted in the overlay
        QVERIFY(pointerTo({ 300, 200 }));
        QVERIFY(pointer("press") && pointer("move 200 50") && pointer("move 200 50") && pointer("release"));
        const QJsonObject body = m_quillora.nextRequest();
        QCOMPARE(QuilloraUnderTest::jpegSize(body), QSize(400, 100));
    }
};

int main(int argc, char* argv[])
{
    // QUILLORA_SWAY_EXEC: set by the test desktop, whose Sway runs key bindings through it.
    return runInWaylandDesktop<TestSwayEndToEnd>(
        argc, argv, "sway", "with-sway.sh", !qEnvironmentVariableIsEmpty("QUILLORA_SWAY_EXEC"));
}

#include "tst_swayendtoend.moc"
