// The popup on a real X11 desktop (Xvfb + openbox): focus, the global click monitor, application switches
// and Escape, with another application's window (xterm) as the one the user works in.
#include "platform/platform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>

namespace {

QString run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString xdotool(const QStringList& arguments) { return run(QStringLiteral("xdotool"), arguments); }

} // namespace

class PopupDesktopTest : public QObject {
    Q_OBJECT

    QProcess terminal;
    QProcess secondTerminal;
    QString terminalWindow;
    QString secondTerminalWindow;
    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupWindowController> controller;

    QString startTerminal(QProcess& process, const QString& title, int x)
    {
        process.start(QStringLiteral("xterm"), { QStringLiteral("-T"), title, QStringLiteral("-geometry"),
                                                   QStringLiteral("60x15+%1+20").arg(x) });
        if (!process.waitForStarted(5000))
            return {};
        return xdotool({ QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"), title })
            .section(u'\n', 0, 0);
    }
    QString activeWindow() { return xdotool({ QStringLiteral("getactivewindow") }); }
    // Asks the window manager until it complies; a busy machine may drop or delay the first request.
    bool activate(const QString& window)
    {
        return QTest::qWaitFor(
            [&] {
                xdotool({ QStringLiteral("windowactivate"), window });
                QTest::qWait(100);
                return activeWindow() == window;
            },
            15000);
    }
    void clickAt(QPoint global)
    {
        xdotool({ QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y()),
            QStringLiteral("click"), QStringLiteral("1") });
    }
    void clickInTerminal()
    {
        const QString geometry = xdotool({ QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), terminalWindow });
        int x = 0, y = 0;
        for (const QString& line : geometry.split(u'\n')) {
            if (line.startsWith(QLatin1String("X=")))
                x = line.mid(2).toInt();
            if (line.startsWith(QLatin1String("Y=")))
                y = line.mid(2).toInt();
        }
        clickAt({ x + 40, y + 40 });
    }
    QQuickWindow* showPopupOverTheTerminal()
    {
        if (!activate(terminalWindow))
            return nullptr;
        // Let the switch to the terminal be noticed before the panel appears, so it does not close the panel.
        const FrontmostApplication& frontmost = *Platform::current().frontmostApplication;
        if (!QTest::qWaitFor([&] { return frontmost.current() && frontmost.current()->windowId == terminalWindow.toULongLong(); }))
            return nullptr;
        QTest::qWait(50);
        controller->showPopup(std::nullopt);
        QQuickWindow* panel = controller->panel();
        if (panel && !QTest::qWaitForWindowExposed(panel))
            return nullptr;
        return panel;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        terminalWindow = startTerminal(terminal, QStringLiteral("quillora-popup-test-a"), 20);
        secondTerminalWindow = startTerminal(secondTerminal, QStringLiteral("quillora-popup-test-b"), 1100);
        QVERIFY(!terminalWindow.isEmpty());
        QVERIFY(!secondTerminalWindow.isEmpty());
        stub = std::make_unique<StubService>();
        stub->replyWithExplanation(QStringLiteral("An answer to select and scroll."));
        controller = std::make_unique<PopupWindowController>(
            new QuilloraAPIClient(stub->url(), "test-token", TestCerts::trustingTestCA()));
    }

    void cleanupTestCase()
    {
        controller.reset();
        terminal.kill();
        secondTerminal.kill();
        terminal.waitForFinished();
        secondTerminal.waitForFinished();
    }

    void cleanup() { controller->closePopup(); }

    void showingThePanelLeavesTheUsersWindowActive()
    {
        QQuickWindow* panel = showPopupOverTheTerminal();
        QVERIFY(panel);
        QTest::qWait(300); // give the window manager time to (wrongly) focus it
        QCOMPARE(activeWindow(), terminalWindow);
        QVERIFY(!panel->isActive());
        QVERIFY(controller->panel());
    }

    void aClickInsideKeepsItOpenAndGivesItTheKeyboard()
    {
        QQuickWindow* panel = showPopupOverTheTerminal();
        QVERIFY(panel);
        clickAt(panel->geometry().center());
        QTRY_VERIFY(panel->isActive());
        QTest::qWait(200);
        QCOMPARE(controller->panel(), panel);
    }

    void aClickInAnotherWindowClosesIt()
    {
        QVERIFY(showPopupOverTheTerminal());
        clickInTerminal();
        QTRY_VERIFY(!controller->panel());
    }

    void anotherApplicationBecomingActiveClosesIt()
    {
        QQuickWindow* panel = showPopupOverTheTerminal();
        QVERIFY(panel);
        // Our own panel taking the focus is not a switch to another application.
        clickAt(panel->geometry().center());
        QTRY_VERIFY(panel->isActive());
        QTest::qWait(200);
        QVERIFY(controller->panel());

        xdotool({ QStringLiteral("windowactivate"), secondTerminalWindow });
        QTRY_VERIFY(!controller->panel());
    }

    void escapeClosesItOnlyOnceItHasTheKeyboard()
    {
        QQuickWindow* panel = showPopupOverTheTerminal();
        QVERIFY(panel);
        // Escape goes to the terminal the user works in.
        xdotool({ QStringLiteral("key"), QStringLiteral("Escape") });
        QTest::qWait(300);
        QCOMPARE(controller->panel(), panel);

        clickAt(panel->geometry().center());
        QTRY_VERIFY(panel->isActive());
        xdotool({ QStringLiteral("key"), QStringLiteral("Escape") });
        QTRY_VERIFY(!controller->panel());
    }
};

QTEST_MAIN(PopupDesktopTest)
#include "tst_popupdesktop.moc"
