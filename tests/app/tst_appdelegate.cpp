// The delegate on the fake platform: the hot keys it registers, the tray menu, and start at login, with
// the XDG autostart entry that backs it on every desktop.
#include "app/appdelegate.h"
#include "capture/capturepresenter.h"
#include "fakeplatform.h"
#include "platform/xdgautostartloginitem.h"
#include "settings/appsettings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct RecordingPresenter final : CapturePresenter {
    QStringList* calls;
    explicit RecordingPresenter(QStringList* c)
        : calls(c)
    {
    }
    void showPopup(std::optional<QRectF>) override { }
    void explain(const QString& text, std::optional<AppContext>) override { *calls << "explain " + text; }
    void prepareForDirectQuery(std::optional<AppContext>) override { *calls << "ask"; }
    void showTooltip(const QString&, const QString& message, std::chrono::milliseconds) override { *calls << message; }
    void showAccessibilityPrompt() override { }
};

// Writes a file, creating its folder.
void touch(const QString& path, QFileDevice::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    if (permissions)
        file.setPermissions(permissions);
}

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    FakePlatform m_fakes {};
    QStringList m_calls;
    std::unique_ptr<AppDelegate> m_delegate;
    QList<QUrl> m_openedUrls;

public slots:
    void openUrl(const QUrl& url) { m_openedUrls << url; }

private slots:
    void init()
    {
        m_fakes = FakePlatform::install();
        m_fakes.frontmostApplication->app = FrontmostAppInfo { "org.example.Reader", "Reader", 42, "Doc", 7 };
        m_fakes.accessibility->selection = AccessibleSelection { QStringLiteral("selected words"), std::nullopt };
        m_calls.clear();
        m_delegate = std::make_unique<AppDelegate>(std::make_unique<RecordingPresenter>(&m_calls));
        m_delegate->applicationDidFinishLaunching();
    }

    void hotKeysAreAltXZAAndDeferTheirWork()
    {
        const auto& keys = m_fakes.globalHotkeys->registered;
        QCOMPARE(keys.size(), 3);
        for (const auto& [id, key] : { std::pair { 1U, 53U }, { 2U, 52U }, { 3U, 38U } }) {
            QCOMPARE(keys.value(id).keyCode, key);
            QCOMPARE(keys.value(id).modifiers, Qt::AltModifier);
        }
        m_fakes.globalHotkeys->press(3);
        m_fakes.globalHotkeys->press(1);
        QCOMPARE(m_calls, QStringList {}); // the key's handler has returned before any work
        QTRY_COMPARE(m_calls, (QStringList { "ask", "explain selected words" }));
    }

    void trayMenuHasItsEntriesInOrderAndEachReachesItsAction()
    {
        std::unique_ptr<QMenu> menu(m_delegate->buildStatusMenu());
        QStringList entries;
        for (const QAction* action : menu->actions())
            entries << (action->isSeparator() ? "-" : action->text() + ' ' + action->shortcut().toString());
        QCOMPARE(entries,
            (QStringList { "Explain Selected Text (Alt+X) ", "Explain Screenshot (Alt+Z) ", "Ask Anything (Alt+A) ",
                "-", "Check for Updates... ", "Settings... Ctrl+,", "-", "Contact Us ", "-", "Quit Quillora Ctrl+Q" }));
        QVERIFY(m_delegate->statusItem() && !m_delegate->statusItem()->contextMenu()); // built per click only

        QDesktopServices::setUrlHandler("mailto", this, "openUrl");
        const auto trigger = [&](int index) { menu->actions().at(index)->trigger(); };
        trigger(0);
        trigger(2);
        trigger(7);
        QTRY_COMPARE(m_calls, (QStringList { "explain selected words", "ask" }));
        QCOMPARE(m_openedUrls,
            QList<QUrl> { QUrl(
                QStringLiteral("mailto:%1?subject=fix%20this%20for%20me%20plz").arg(AppDelegate::supportAddress)) });
        QDesktopServices::unsetUrlHandler("mailto");

        trigger(9);
        QTRY_VERIFY(m_fakes.globalHotkeys->registered.isEmpty());
        m_fakes.globalHotkeys->press(1);
        QTest::qWait(50);
        QCOMPARE(m_calls.size(), 2);
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
        QCOMPARE(item.registrations, 2);
        QCOMPARE(item.state, LoginItem::Status::NotRegistered);
    }

    void onlyAnInstalledProgramStartsAtLogin_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("withDesktopEntry"); // in ../share/applications, as installing puts it
        QTest::addColumn<bool>("installed");
        QTest::newRow("installed") << "prefix/bin/quillora" << true << true;
        QTest::newRow("installed, path with a space") << "my prefix/bin/quillora" << true << true;
        QTest::newRow("build tree") << "build/ci/src/quillora" << false << false;
        QTest::newRow("under the temporary folder") << "tmp/prefix/bin/quillora" << true << false;
    }

    void onlyAnInstalledProgramStartsAtLogin()
    {
        QFETCH(QString, program);
        QFETCH(bool, withDesktopEntry);
        QFETCH(bool, installed);
        QTemporaryDir root;
        const QString path = root.filePath(program);
        touch(path, QFile::ReadOwner | QFile::ExeOwner);
        if (withDesktopEntry)
            touch(QFileInfo(path).path() + "/../share/applications/org.quillora.Quillora.desktop");

        XdgAutostartLoginItem item(path, root.filePath("config"), root.filePath("tmp"));
        QCOMPARE(item.status(), installed ? LoginItem::Status::NotRegistered : LoginItem::Status::NotFound);
        QCOMPARE(item.registerItem(), installed);
        QCOMPARE(QFile::exists(item.entryPath()), installed);
        if (!installed)
            return;
        QCOMPARE(item.status(), LoginItem::Status::Enabled);
        QFile entry(item.entryPath());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        QVERIFY2(text.contains(
                     "\nExec=" + XdgAutostartLoginItem::execValue(QFileInfo(path).canonicalFilePath()).toUtf8() + '\n'),
            text.constData());
        QVERIFY(text.contains("\nX-GNOME-Autostart-enabled=true\n"));
        QVERIFY(item.unregisterItem());
        QCOMPARE(item.status(), LoginItem::Status::NotRegistered);

        // An autostart folder that cannot be written: a plain failure, nothing more.
        touch(root.filePath("blocked"));
        QVERIFY(!XdgAutostartLoginItem(path, root.filePath("blocked"), root.filePath("tmp")).registerItem());
    }

    void execValuesAreQuotedAndEscaped()
    {
        QCOMPARE(XdgAutostartLoginItem::execValue("/usr/bin/quillora"), QString("/usr/bin/quillora"));
        QCOMPARE(XdgAutostartLoginItem::execValue("/opt/my apps/quillora"), QString("\"/opt/my apps/quillora\""));
        QCOMPARE(
            XdgAutostartLoginItem::execValue("/opt/$x\\100%/quillora"), QString(R"("/opt/\\$x\\\\100%%/quillora")"));
    }
};

int main(int argc, char* argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); // AppSettings::shared() stays in the test's folder
    QApplication app(argc, argv);
    TestAppDelegate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appdelegate.moc"
