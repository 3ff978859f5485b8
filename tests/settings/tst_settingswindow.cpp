// The settings store and its window offscreen: what is kept on disk and when, the login switch against the
// login item, a settings folder that cannot be written, reuse while open, and the keyboard.
#include "fakeloginitem.h"
#include "popup/iconprovider.h"
#include "settings/appsettings.h"
#include "settings/settingswindow.h"
#include "settings/viewwindow.h"

#include <QApplication>
#include <QProcess>
#include <QQmlEngine>
#include <QQuickItem>
#include <QRegularExpression>
#include <QSGRendererInterface>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

Q_DECLARE_METATYPE(LoginItem::Status)

namespace {

// Child mode: type the prompt over the old one in the settings window, and die right after the last
// keystroke without any clean-up.
int setPromptAndDie(const QString& file, const QByteArray& prompt)
{
    AppSettings settings(file);
    std::printf("%s\n", qPrintable(settings.userId()));
    std::fflush(stdout);
    QQmlEngine engine;
    SettingsWindow window(settings, nullptr, &engine);
    window.open();
    if (!QTest::qWaitForWindowActive(window.window()))
        return 1;
    QTest::keyClick(window.window(), Qt::Key_A, Qt::ControlModifier);
    for (const char key : prompt)
        QTest::keyClick(window.window(), key);
    std::raise(SIGKILL);
    return 1;
}

} // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QQmlEngine m_engine;
    std::unique_ptr<AppSettings> m_settings;
    FakeLoginItem m_loginItem;

    QString storeFile() const { return m_dir.filePath(QStringLiteral("store/Quillora/Quillora.conf")); }

    QQuickItem* item(SettingsWindow& settings, const char* name)
    {
        return settings.window() ? settings.window()->view()->findChild<QQuickItem*>(QLatin1String(name)) : nullptr;
    }
    static void click(QQuickItem* item)
    {
        QTest::mouseClick(
            item->window(), Qt::LeftButton, {}, item->mapToScene(item->boundingRect().center()).toPoint());
    }

private slots:
    void initTestCase() { IconProvider::install(&m_engine); }
    void init()
    {
        QFile::remove(storeFile());
        m_settings = std::make_unique<AppSettings>(m_dir.filePath(QStringLiteral("Quillora/Quillora.conf")));
        m_loginItem = FakeLoginItem();
    }

    void freshStoreHasEmptyPromptAndAPersistedUpperCaseUserId()
    {
        AppSettings settings(storeFile());
        QCOMPARE(settings.customSystemPrompt(), QString());
        QVERIFY(
            QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"))
                .match(settings.userId())
                .hasMatch());
        QVERIFY(!settings.hasRegisteredLoginItem());
        QVERIFY(!settings.hasCompletedOnboarding());
        // On disk already, before anything could have been sent with it.
        QCOMPARE(QSettings(storeFile(), QSettings::IniFormat).value("userId").toString(), settings.userId());
    }

    void laterStartsKeepTheUserIdAndAKilledProcessKeepsItsLastKeystroke()
    {
        const auto runChild = [this](const QString& prompt) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), { "--set-prompt-and-die", storeFile(), prompt });
            child.waitForFinished(10000);
            return QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        };
        const QString firstId = runChild(QStringLiteral("Answer like a pirate"));
        QCOMPARE(firstId.size(), 36);
        const QString secondId = runChild(QStringLiteral("Answer like a pirate."));
        QCOMPARE(secondId, firstId);

        AppSettings settings(storeFile());
        QCOMPARE(settings.userId(), firstId);
        QCOMPARE(settings.customSystemPrompt(), QStringLiteral("Answer like a pirate."));
    }

    void valuesSurviveAReopenAndAChangeNotifiesOnce()
    {
        const QString prompt = QStringLiteral("line one\nline \"two\" = ; #");
        {
            AppSettings settings(storeFile());
            QSignalSpy changed(&settings, &AppSettings::customSystemPromptChanged);
            settings.setHasCompletedOnboarding(true);
            settings.setHasRegisteredLoginItem(true);
            settings.setCustomSystemPrompt(prompt);
            settings.setCustomSystemPrompt(prompt);
            QCOMPARE(changed.size(), 1);
        }
        AppSettings reopened(storeFile());
        QVERIFY(reopened.hasCompletedOnboarding());
        QVERIFY(reopened.hasRegisteredLoginItem());
        QCOMPARE(reopened.customSystemPrompt(), prompt);
        reopened.setCustomSystemPrompt(QString());
        QCOMPARE(AppSettings(storeFile()).customSystemPrompt(), QString());
    }

    void loginSwitchShowsAndSetsTheLoginItem_data()
    {
        QTest::addColumn<LoginItem::Status>("status");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("shownOn");
        QTest::addColumn<bool>("onAfterClick");
        using S = LoginItem::Status;
        QTest::newRow("not registered") << S::NotRegistered << true << false << true;
        QTest::newRow("enabled") << S::Enabled << true << true << false;
        QTest::newRow("awaiting approval") << S::RequiresApproval << true << true << false;
        QTest::newRow("not found") << S::NotFound << true << false << true;
        QTest::newRow("cannot be written") << S::NotRegistered << false << false << false;
    }
    void loginSwitchShowsAndSetsTheLoginItem()
    {
        QFETCH(LoginItem::Status, status);
        QFETCH(bool, writable);
        QFETCH(bool, shownOn);
        QFETCH(bool, onAfterClick);
        using S = LoginItem::Status;
        m_loginItem.state = status;
        m_loginItem.writable = writable;
        SettingsWindow settings(*m_settings, &m_loginItem, &m_engine);
        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        QQuickItem* loginSwitch = item(settings, "openAtLoginSwitch");
        QCOMPARE(loginSwitch->property("checked").toBool(), shownOn);

        click(loginSwitch);
        const bool on = m_loginItem.state == S::Enabled || m_loginItem.state == S::RequiresApproval;
        QCOMPARE(on, onAfterClick);
        QCOMPARE(loginSwitch->property("checked").toBool(), onAfterClick); // the item's state, not the click's

        // Changed behind the window's back, then reopened: the fresh window asks again.
        settings.window()->close();
        m_loginItem.state = on ? S::NotRegistered : S::Enabled;
        settings.open();
        QCOMPARE(item(settings, "openAtLoginSwitch")->property("checked").toBool(), !on);
    }

    void withoutALoginItemTheSwitchIsOffAndDisabled()
    {
        SettingsWindow settings(*m_settings, nullptr, &m_engine);
        settings.open();
        QQuickItem* loginSwitch = item(settings, "openAtLoginSwitch");
        QVERIFY(!loginSwitch->property("checked").toBool());
        QVERIFY(!loginSwitch->isEnabled());
    }

    void reusedWhileOpenRebuiltAfterCloseAndClosedByDoneOrEscape()
    {
        m_settings->setCustomSystemPrompt(QStringLiteral("Be brief."));
        SettingsWindow settings(*m_settings, &m_loginItem, &m_engine);
        settings.open();
        QPointer<QQuickWindow> first = settings.window();
        QVERIFY(QTest::qWaitForWindowActive(first));
        QCOMPARE(first->title(), QStringLiteral("Quillora Settings"));
        QCOMPARE(item(settings, "promptEditor")->property("text").toString(), QStringLiteral("Be brief."));
        settings.open();
        QCOMPARE(settings.window(), first.data());

        // Tab leaves the editor for the switch without typing a tab; "Done" closes.
        QTest::keyClick(first, Qt::Key_Tab);
        QVERIFY(item(settings, "openAtLoginSwitch")->hasActiveFocus());
        QCOMPARE(m_settings->customSystemPrompt(), QStringLiteral("Be brief."));
        click(item(settings, "doneButton"));
        QTRY_VERIFY(!first);

        m_settings->setCustomSystemPrompt(QStringLiteral("Be thorough."));
        settings.open();
        QPointer<QQuickWindow> second = settings.window();
        QVERIFY(QTest::qWaitForWindowActive(second));
        QCOMPARE(item(settings, "promptEditor")->property("text").toString(), QStringLiteral("Be thorough."));
        QVERIFY(item(settings, "promptEditor")->hasActiveFocus());
        QTest::keyClick(second, Qt::Key_Escape); // from inside the editor too
        QTRY_VERIFY(!second);
    }

    void aSettingsFolderThatCannotBeWrittenIsSaidOnceInTheWindow()
    {
        // A file where the folder should be: no user, root included, can write below it.
        QFile blocker(m_dir.filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        AppSettings settings(m_dir.filePath(QStringLiteral("blocked/Quillora/Quillora.conf")));
        QSignalSpy reported(&settings, &AppSettings::cannotSaveChanged);
        SettingsWindow window(settings, &m_loginItem, &m_engine);
        window.open();
        QVERIFY(QTest::qWaitForWindowActive(window.window()));
        QVERIFY(item(window, "promptHint")->property("text").toString().contains(QStringLiteral("cannot be saved")));
        for (const char key : { 'a', 'b', 'c' })
            QTest::keyClick(window.window(), key);
        QCOMPARE(settings.customSystemPrompt(), QStringLiteral("abc")); // kept for this run
        QCOMPARE(reported.size(), 0); // already known from the user id's write at start
        QVERIFY(settings.cannotSave());
    }
};

int main(int argc, char* argv[])
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QApplication app(argc, argv); // the mouse helpers of Qt Test expect one where Qt Widgets is linked
    if (argc == 4 && qstrcmp(argv[1], "--set-prompt-and-die") == 0)
        return setPromptAndDie(QString::fromLocal8Bit(argv[2]), argv[3]);
    SettingsWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settingswindow.moc"
