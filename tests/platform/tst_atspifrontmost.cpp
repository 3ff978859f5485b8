// The frontmost application on KDE Plasma's Wayland session (tests/support/with-kde-wayland.sh), followed
// through the windows' activation events on the accessibility bus: two GTK 3 windows of their own
// processes take turns, named by the desktop entry that claims their program, and a window of the test's own
// process is left out.
#include "platform/wayland/atspifrontmostapplication.h"
#include "platform/x11/atspiaccessibility.h"
#include "platform/x11/atspithread.h"

#include <QApplication>
#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <memory>

namespace {

constexpr int deadlineMs = 15000;

class Pad {
public:
    explicit Pad(const QString& title)
    {
        m_process.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral(QUILLORA_TEST_PAD), QStringLiteral("--title"), title, QStringLiteral("--app-id"),
                QStringLiteral("org.quillora.Pad") + title });
    }
    ~Pad()
    {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    bool ready() { return m_process.canReadLine(); }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

bool send(const QString& keys)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral(QUILLORA_WAYLAND_KEYS), keys });
    // Events are handled meanwhile, as the program's own loop would.
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)
        && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestAtspiFrontmost : public QObject {
    Q_OBJECT

    std::shared_ptr<AtspiThread> m_thread;
    std::unique_ptr<AtspiFrontmostApplication> m_frontmost;

    QString currentTitle() const
    {
        const std::optional<FrontmostAppInfo> app = m_frontmost->current();
        return app ? app->windowTitle.value_or(QStringLiteral("(no title)")) : QStringLiteral("(none)");
    }

private slots:
    void initTestCase()
    {
        // GTK registers with the accessibility bus only while it says it is wanted. The reader is let go
        // before the test's own AT-SPI thread starts: only one thread can own GLib's default context.
        {
            AtspiAccessibility accessibility;
            QVERIFY(QCoro::waitFor(accessibility.enable()));
        }
        m_thread = std::make_shared<AtspiThread>();
        QVERIFY(m_thread->usable());
        m_frontmost = std::make_unique<AtspiFrontmostApplication>(m_thread);
    }

    void cleanupTestCase()
    {
        m_frontmost.reset();
        m_thread.reset();
    }

    // Each newly active window of another application is reported with its title and process, and
    // announced; a window of the test's own process changes neither.
    void activationsAreReportedAndOwnWindowsLeftOut()
    {
        QSignalSpy activated(m_frontmost.get(), &FrontmostApplication::otherApplicationActivated);
        Pad first(QStringLiteral("A"));
        QTRY_VERIFY_WITH_TIMEOUT(first.ready(), deadlineMs);
        // A headless KWin without Plasma's task switcher does not always switch on Alt+Tab.
        const auto backToA = [&] { return QTest::qWaitFor([&] { return currentTitle() == u"A"; }, deadlineMs); };
        if (!backToA())
            QSKIP("the desktop did not switch windows on Alt+Tab");
        QCOMPARE(m_frontmost->current()->pid, first.pid());

        Pad second(QStringLiteral("B"));
        QTRY_VERIFY_WITH_TIMEOUT(second.ready(), deadlineMs);
        // KWin may keep the focus where it was for a window that did not ask for it; Alt+Tab moves it then.
        if (!QTest::qWaitFor([&] { return currentTitle() == QStringLiteral("B"); }, 3000))
            QVERIFY(send(QStringLiteral("alt+tab")));
        QTRY_COMPARE_WITH_TIMEOUT(currentTitle(), QStringLiteral("B"), deadlineMs);
        const FrontmostAppInfo b = *m_frontmost->current();
        QCOMPARE(b.pid, second.pid());
        // GTK names the application after its program; the entry that claims that name names it here.
        QCOMPARE(b.appId, QStringLiteral("org.quillora.PadEntry"));
        QCOMPARE(b.displayName, QStringLiteral("Pad Entry"));
        QVERIFY(activated.size() >= 2);

        // Back to the first window with the keyboard, as a user would.
        activated.clear();
        QVERIFY(send(QStringLiteral("alt+tab")));
        if (!backToA())
            QSKIP("the desktop did not switch windows on Alt+Tab");
        QCOMPARE(activated.size(), 1);

        // A window of our own: nothing announced, the other application stays current. An announcement of the
        // switch above that is still on its way is let in first, so that it is not taken for one of ours.
        QTest::qWait(500);
        activated.clear();
        QWidget own;
        own.setWindowTitle(QStringLiteral("Own"));
        own.resize(300, 200);
        own.show();
        QVERIFY(QTest::qWaitForWindowExposed(&own));
        own.activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(own.isActiveWindow(), deadlineMs);
        QTest::qWait(500); // time for an activation event of ours to arrive, were it not left out
        QCOMPARE(activated.size(), 0);
        QCOMPARE(currentTitle(), QStringLiteral("A"));
    }
};

int main(int argc, char* argv[])
{
    // Elsewhere there is nothing to check; 77 has ctest count the test as skipped.
    if (qgetenv("XDG_CURRENT_DESKTOP") != "KDE" || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("tst_atspifrontmost runs in tests/support/with-kde-wayland.sh only\n", stderr);
        return 77;
    }
    // A desktop entry of the test's own, in a data folder that GLib reads once it is first asked.
    QTemporaryDir data;
    if (!data.isValid() || !QDir(data.path()).mkpath(QStringLiteral("applications")))
        return 1;
    QFile entry(data.filePath(QStringLiteral("applications/org.quillora.PadEntry.desktop")));
    if (!entry.open(QIODevice::WriteOnly))
        return 1;
    entry.write("[Desktop Entry]\nType=Application\nName=Pad Entry\nExec=true\nStartupWMClass=testpad.py\n");
    entry.close();
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    // The test's own window is on the accessibility bus like any other, so that leaving it out is seen.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestAtspiFrontmost test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_atspifrontmost.moc"
