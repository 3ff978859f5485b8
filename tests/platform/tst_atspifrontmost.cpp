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
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
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
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
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
        if (!QTest::qWaitFor([&] { return currentTitle() == QStringLiteral("A"); }, deadlineMs))
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

        std::printf("[figures] the second window: app id \"%s\", name \"%s\", pid %lld\n", qPrintable(b.appId),
            qPrintable(b.displayName), static_cast<long long>(b.pid));

        // Back to the first window with the keyboard, as a user would. The key script ends once the portal
        // has passed the keys on; the report is timed against its start and its end.
        activated.clear();
        QProcess keys;
        keys.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        keys.start(
            QStringLiteral("/usr/bin/python3"), { QStringLiteral(QUILLORA_WAYLAND_KEYS), QStringLiteral("alt+tab") });
        qint64 keysEndedMs = -1;
        qint64 reportedMs = -1;
        while (clock.elapsed() < deadlineMs && (keysEndedMs < 0 || reportedMs < 0)) {
            QTest::qWait(2);
            if (keysEndedMs < 0 && keys.state() == QProcess::NotRunning)
                keysEndedMs = clock.elapsed();
            if (reportedMs < 0 && !activated.isEmpty())
                reportedMs = clock.elapsed();
        }
        QVERIFY2(keys.exitStatus() == QProcess::NormalExit && keys.exitCode() == 0, "the key script failed");
        // A headless KWin without Plasma's task switcher does not always switch on Alt+Tab.
        if (!QTest::qWaitFor([&] { return currentTitle() == QStringLiteral("A"); }, deadlineMs))
            QSKIP("the desktop did not switch windows on Alt+Tab");
        QCOMPARE(activated.size(), 1);
        QCOMPARE(m_frontmost->current()->pid, first.pid());
        std::printf("[figures] Alt+Tab: reported %lld ms after the key script started, %lld ms %s it ended\n",
            static_cast<long long>(reportedMs), static_cast<long long>(std::abs(reportedMs - keysEndedMs)),
            reportedMs <= keysEndedMs ? "before" : "after");

        // A window of our own: nothing announced, the other application stays current.
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
        QCOMPARE(m_frontmost->current()->pid, first.pid());
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
