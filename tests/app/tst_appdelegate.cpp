// The delegate on the fake platform: its hot keys, the tray menu, and start at login with the XDG autostart
// entry behind it; and which service the program talks to (plain http:// only to this computer).
#include "app/appdelegate.h"
#include "capture/capturepresenter.h"
#include "fakeplatform.h"
#include "platform/xdgautostartloginitem.h"
#include "service/serviceendpoint.h"
#include "settings/appsettings.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct RecordingPresenter final : CapturePresenter {
    QStringList calls;
    void showExplanation(TextCapture capture) override { calls << "explain " + capture.text; }
    void showDirectQuery(std::optional<AppContext>) override { calls << "ask"; }
    void showTooltip(const QString&, const QString& message, std::chrono::milliseconds) override { calls << message; }
    void showAccessibilityPrompt() override { }
    void showScreenshotExplanation(QByteArray, std::optional<QRectF>, std::optional<AppContext>) override { }
    void showFailure(std::optional<QRectF>, const QString&) override { }
};

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile(path).open(QIODevice::WriteOnly);
}

const QUrl builtInUrl("https://127.0.0.1:1/unused");

} // namespace

// The desktop's notification service, as far as it is asked: the summaries it was given.
class NotificationsStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList summaries;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&, const QStringList&,
        const QVariantMap&, int)
    {
        summaries << summary;
        return uint(summaries.size());
    }
};

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QList<QUrl> m_openedUrls;

public slots:
    void openUrl(const QUrl& url) { m_openedUrls << url; }

private slots:
    void settingsOverrideTheBuiltInService_data()
    {
        QTest::addColumn<QString>("urlSetting");
        QTest::addColumn<QString>("tokenSetting");
        QTest::addColumn<bool>("usable");
        QTest::newRow("blank: built in") << "  " << QStringLiteral(" ") << true;
        QTest::newRow("https anywhere") << "https://explain.example.org/v1/explain" << QStringLiteral("secret") << true;
        for (const char* url : { "http://127.0.0.1:8787/v1/explain", "http://localhost:8787/v1/explain" })
            QTest::newRow(url) << url << QString() << true;
        for (const char* url : { "http://192.168.1.20:8787/v1/explain", "http://localhost.example.org/",
                 "ftp://api.quillora.org/", "https://exa mple.org/" })
            QTest::newRow(url) << url << QString() << false;
    }
    void settingsOverrideTheBuiltInService()
    {
        QFETCH(QString, urlSetting);
        QFETCH(QString, tokenSetting);
        QFETCH(bool, usable);
        const ServiceEndpoint endpoint = resolveServiceEndpoint(urlSetting, tokenSetting, builtInUrl, "test-token");
        QCOMPARE(endpoint.url, urlSetting.trimmed().isEmpty() ? builtInUrl : QUrl(urlSetting, QUrl::StrictMode));
        QCOMPARE(endpoint.token, tokenSetting.trimmed().isEmpty() ? "test-token" : tokenSetting.toUtf8());
        QCOMPARE(endpoint.problem.isEmpty(), usable);
        if (!usable)
            QVERIFY2(endpoint.problem.contains("serviceURL"), qPrintable(endpoint.problem));
    }

    void launchGivesKeysAndATrayMenuThatReachTheirActions()
    {
        FakePlatform fakes = FakePlatform::make();
        fakes.frontmostApplication->app = FrontmostAppInfo { "org.example.Reader", "Reader", 42, "Doc", 7 };
        fakes.accessibility->selection = AccessibleSelection { QStringLiteral("selected words"), std::nullopt };
        auto presenter = std::make_unique<RecordingPresenter>();
        QStringList& calls = presenter->calls;
        AppSettings settings(m_home.filePath("launch.conf"));
        AppDelegate delegate(std::move(fakes.platform), settings,
            resolveServiceEndpoint({}, {}, builtInUrl, "test-token"), std::move(presenter));
        delegate.applicationDidFinishLaunching();

        fakes.globalHotkeys->press(3);
        fakes.globalHotkeys->press(1);
        QCOMPARE(calls, QStringList {}); // the key's handler has returned before any work
        QTRY_COMPARE(calls, (QStringList { "ask", "explain selected words" }));

        std::unique_ptr<QMenu> menu(delegate.buildStatusMenu());
        QStringList entries;
        for (const QAction* action : menu->actions())
            entries << (action->isSeparator() ? "-" : action->text() + ' ' + action->shortcut().toString());
        QCOMPARE(entries,
            (QStringList { "Explain Selected Text (Alt+X) ", "Explain Screenshot (Alt+Z) ", "Ask Anything (Alt+A) ",
                "-", "Check for Updates... ", "Settings... Ctrl+,", "-", "Contact Us ", "-", "Quit Quillora Ctrl+Q" }));
        QVERIFY(delegate.statusItem() && !delegate.statusItem()->contextMenu()); // a menu is built per click only

        calls.clear();
        QDesktopServices::setUrlHandler("mailto", this, "openUrl");
        for (const int entry : { 0, 2, 7, 9 })
            menu->actions().at(entry)->trigger();
        QTRY_VERIFY(fakes.globalHotkeys->registered.isEmpty()); // Quit Quillora
        QDesktopServices::unsetUrlHandler("mailto");
        QCOMPARE(calls, (QStringList { "explain selected words", "ask" }));
        QCOMPARE(m_openedUrls,
            QList<QUrl> { QUrl(
                QStringLiteral("mailto:%1?subject=fix%20this%20for%20me%20plz").arg(AppDelegate::supportAddress)) });
    }

    // On a desktop that shows no tray icons the user is told once, in a notification, where Quillora's commands
    // are; not again at the next start.
    void aDesktopWithoutATrayIsToldOnce()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this desktop has a tray");
        NotificationsStandIn notifications;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        QVERIFY(bus.registerObject(
            QStringLiteral("/org/freedesktop/Notifications"), &notifications, QDBusConnection::ExportAllSlots));
        AppSettings settings(m_home.filePath("no-tray.conf"));
        for (int start = 0; start < 2; ++start) {
            FakePlatform fakes = FakePlatform::make();
            AppDelegate delegate(std::move(fakes.platform), settings,
                resolveServiceEndpoint({}, {}, builtInUrl, "test-token"), std::make_unique<RecordingPresenter>());
            delegate.applicationDidFinishLaunching();
            QTest::qWait(int((AppDelegate::trayWait + std::chrono::milliseconds(500)).count()));
            QCOMPARE(notifications.summaries, QStringList { QStringLiteral("Quillora runs without a tray icon") });
        }
        bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    }

    void loginItemIsRegisteredOnceAndRetriedAfterAFailure()
    {
        AppSettings settings(m_home.filePath("login.conf"));
        FakeLoginItem item;
        item.writable = false;
        AppDelegate::registerLoginItemIfNeeded(settings, item); // first launch: the write fails
        QVERIFY(!settings.hasRegisteredLoginItem());
        item.writable = true;
        AppDelegate::registerLoginItemIfNeeded(settings, item); // second launch tries again
        QVERIFY(settings.hasRegisteredLoginItem());
        item.state = LoginItem::Status::NotRegistered; // the user removed it
        AppDelegate::registerLoginItemIfNeeded(settings, item);
        QCOMPARE(item.registrations, 2); // not again once registered, even if removed since
    }

    void onlyAnInstalledProgramStartsAtLogin_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("withDesktopEntry"); // in ../share/applications, as installing puts it
        QTest::addColumn<QString>("exec"); // with the test folder as %1; empty: must not register
        QTest::newRow("installed") << "prefix/bin/quillora" << true << "%1/prefix/bin/quillora";
        QTest::newRow("installed, quoted") << "my $prefix/bin/quillora" << true << R"("%1/my \\$prefix/bin/quillora")";
        QTest::newRow("build tree") << "build/ci/src/quillora" << false << "";
        QTest::newRow("under the temporary folder") << "tmp/prefix/bin/quillora" << true << "";
    }

    void onlyAnInstalledProgramStartsAtLogin()
    {
        QFETCH(QString, program);
        QFETCH(bool, withDesktopEntry);
        QFETCH(QString, exec);
        QTemporaryDir root;
        const QString path = root.filePath(program);
        touch(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        if (withDesktopEntry)
            touch(QFileInfo(path).path() + "/../share/applications/org.quillora.Quillora.desktop");

        XdgAutostartLoginItem item(path, root.filePath("config"), root.filePath("tmp"));
        QCOMPARE(item.status(), exec.isEmpty() ? LoginItem::Status::NotFound : LoginItem::Status::NotRegistered);
        QCOMPARE(item.registerItem(), !exec.isEmpty());
        QFile entry(item.entryPath());
        QCOMPARE(entry.open(QIODevice::ReadOnly), !exec.isEmpty());
        if (exec.isEmpty())
            return;
        const QByteArray text = entry.readAll();
        QVERIFY2(text.contains("\nExec=" + exec.arg(QFileInfo(root.path()).canonicalFilePath()).toUtf8() + '\n'),
            text.constData());
        QVERIFY(text.contains("\nX-GNOME-Autostart-enabled=true\n"));
        QCOMPARE(item.status(), LoginItem::Status::Enabled);
        QVERIFY(item.unregisterItem());
        QCOMPARE(item.status(), LoginItem::Status::NotRegistered);

        // An autostart folder that cannot be written: a plain failure, nothing more.
        touch(root.filePath("blocked"));
        QVERIFY(!XdgAutostartLoginItem(path, root.filePath("blocked"), root.filePath("tmp")).registerItem());
    }
};

int main(int argc, char* argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); // the user's settings file stays in the test's folder
    QApplication app(argc, argv);
    TestAppDelegate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appdelegate.moc"
