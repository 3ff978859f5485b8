// The popup on a real X11 desktop (Xvfb + openbox) over the user's window, an xterm: focus, clicks, switches, Escape.
#include "platform/platform.h"
#include "popup/popupwindowcontroller.h"
#include "popupstack.h"
#include "stubservice.h"

#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>

namespace {

QString xdotool(const QString& arguments)
{
    QProcess process;
    process.start("xdotool", arguments.split(u' '));
    return process.waitForFinished(10000) ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : QString();
}

} // namespace

class PopupDesktopTest : public QObject {
    Q_OBJECT

    QProcess terminals[2];
    QString terminalWindows[2]; // the user's, and another application's
    std::unique_ptr<StubService> stub;
    std::unique_ptr<Platform> platform;
    std::unique_ptr<PopupStack> popup;
    PopupWindowController* controller = nullptr;

    // Once the switch to the terminal is noticed, or it would close the panel. The window manager is asked until
    // it complies: a busy machine may drop or delay the first request.
    QQuickWindow* showPopupOverTheTerminal()
    {
        const FrontmostApplication& frontmost = *platform->frontmostApplication;
        if (!QTest::qWaitFor(
                [&] {
                    xdotool("windowactivate " + terminalWindows[0]);
                    QTest::qWait(100);
                    return xdotool("getactivewindow") == terminalWindows[0] && frontmost.current()
                        && frontmost.current()->windowId == terminalWindows[0].toULongLong();
                },
                15000))
            return nullptr;
        QTest::qWait(50);
        controller->showPopup(std::nullopt);
        return controller->panel() && QTest::qWaitForWindowExposed(controller->panel()) ? controller->panel() : nullptr;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(QGuiApplication::platformName(), "xcb");
        for (int i = 0; i < 2; ++i) {
            const QString title = QStringLiteral("quillora-popup-test-%1").arg(i);
            terminals[i].start("xterm", { "-T", title, "-geometry", QStringLiteral("60x15+%1+20").arg(20 + 1080 * i) });
            terminalWindows[i] = xdotool("search --sync --name " + title).section(u'\n', 0, 0);
            QVERIFY(!terminalWindows[i].isEmpty());
        }
        stub = std::make_unique<StubService>();
        platform = Platform::createForSession();
        popup = std::make_unique<PopupStack>(*platform, stub->url());
        controller = &popup->controller;
    }

    void cleanupTestCase()
    {
        popup.reset();
        platform.reset();
        for (QProcess& terminal : terminals) {
            terminal.kill();
            terminal.waitForFinished();
        }
    }

    void cleanup() { controller->closePopup(); }

    // Shown without the keyboard, so Escape still goes to the user's window; once clicked, it has the keyboard.
    void itTakesTheKeyboardOnlyWhenClickedAndThenEscapeClosesIt()
    {
        QQuickWindow* panel = showPopupOverTheTerminal();
        QVERIFY(panel);
        QTest::qWait(300); // give the window manager time to (wrongly) focus it
        QCOMPARE(xdotool("getactivewindow"), terminalWindows[0]);
        QVERIFY(!panel->isActive());
        xdotool("key Escape");
        QTest::qWait(300);
        QCOMPARE(controller->panel(), panel);

        // That a click inside keeps it open is tst_endtoend's, which types a question into the card after one.
        xdotool(QStringLiteral("mousemove %1 %2 click 1")
                    .arg(panel->geometry().center().x())
                    .arg(panel->geometry().center().y()));
        QTRY_VERIFY(panel->isActive());
        xdotool("key Escape");
        QTRY_VERIFY(!controller->panel());
    }

    // A click in another window closes it, and so does another application becoming active.
    void aClickElsewhereOrAnotherApplicationClosesIt()
    {
        QVERIFY(showPopupOverTheTerminal());
        xdotool(QStringLiteral("mousemove --window %1 40 40 click 1").arg(terminalWindows[0]));
        QTRY_VERIFY(!controller->panel());
        QVERIFY(showPopupOverTheTerminal());
        xdotool("windowactivate " + terminalWindows[1]);
        QTRY_VERIFY(!controller->panel());
    }
};

QTEST_MAIN(PopupDesktopTest)
#include "tst_popupdesktop.moc"
