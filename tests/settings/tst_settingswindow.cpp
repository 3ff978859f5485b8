// The settings store and its window offscreen: what is kept on disk and when, the login switch, a settings
// folder that cannot be written, reuse while open, and the keyboard.
#include "fakeloginitem.h"
#include "fakeplatform.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"
#include "settings/servicesettings.h"
#include "settings/settingswindow.h"
#include "ui/qmlengineprovider.h"

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

class SettingsWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QmlEngineProvider m_engines;
    FakeLoginItem m_loginItem;

    QString storeFile() const { return m_dir.filePath(QStringLiteral("store/Quillora/Quillora.conf")); }
    static QQuickItem* item(SettingsWindow& settings, const char* name)
    {
        return settings.window()->view()->findChild<QQuickItem*>(QLatin1String(name));
    }
    static void click(QQuickItem* item)
    {
        QTest::mouseClick(
            item->window(), Qt::LeftButton, {}, item->mapToScene(item->boundingRect().center()).toPoint());
    }

private slots:
    void init()
    {
        QFile::remove(storeFile());
        m_loginItem = FakeLoginItem();
    }

    void theUserIdIsWrittenAtOnceAndValuesSurviveReopensAndAKilledProcess()
    {
        const QString prompt = QStringLiteral("line one\nline \"two\" = ; #");
        QString userId;
        {
            AppSettings settings(storeFile());
            userId = settings.userId();
            const QRegularExpression uuid(
                QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"));
            QVERIFY(uuid.match(userId).hasMatch());
            // On disk already, before anything could have been sent with it.
            QCOMPARE(QSettings(storeFile(), QSettings::IniFormat).value("userId").toString(), userId);
            settings.setCustomSystemPrompt(prompt);
        }
        QCOMPARE(AppSettings(storeFile()).customSystemPrompt(), prompt);

        // A later start keeps the user id, and a process killed right after a keystroke keeps what was typed.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
            { "--set-prompt-and-die", storeFile(), QStringLiteral("Answer like a pirate.") });
        child.waitForFinished(10000);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), userId);
        QCOMPARE(AppSettings(storeFile()).customSystemPrompt(), QStringLiteral("Answer like a pirate."));
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
        AppSettings store(storeFile());
        SettingsWindow settings(store, &m_loginItem, m_engines.engine());
        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        QQuickItem* loginSwitch = item(settings, "openAtLoginSwitch");
        QCOMPARE(loginSwitch->property("checked").toBool(), shownOn);

        click(loginSwitch);
        const bool on = m_loginItem.state == S::Enabled || m_loginItem.state == S::RequiresApproval;
        QCOMPARE(on, onAfterClick);
        QCOMPARE(loginSwitch->property("checked").toBool(), onAfterClick); // the item's state, not the click's
    }

    // The service token at start: one left in the settings file moves to the keyring and leaves the file; where
    // no keyring answers it stays there, and so do the user's settings; a team's token is read back.
    void theServiceTokenMovesToTheKeyringAtStart()
    {
        const QUrl local(QStringLiteral("http://127.0.0.1:8787/v1/explain"));
        const ServiceEndpoint builtIn { local, "built-in", {}, local, "built-in" };
        for (const SecretStore::Outcome answer : { SecretStore::Outcome::Done, SecretStore::Outcome::Unavailable }) {
            QFile::remove(storeFile());
            AppSettings store(storeFile());
            store.setServiceURL(QStringLiteral("https://team.example/v1/explain"));
            store.setServiceToken(QStringLiteral("file-token"));
            QCOMPARE(QFile::permissions(storeFile()) & 0x0077, 0); // the user's alone while it holds a token
            QFile::setPermissions(storeFile(), QFile::permissions(storeFile()) | QFileDevice::ReadOther); // as before
            FakeSecretStore keyring;
            keyring.answer = answer;
            ServiceSettings service(store, keyring, builtIn);
            QVERIFY(service.needsKeyring());
            QCoro::waitFor(service.load());
            const bool moved = answer == SecretStore::Outcome::Done;
            QCOMPARE(
                keyring.secrets.value(ServiceSettings::tokenName), moved ? QByteArray("file-token") : QByteArray());
            QCOMPARE(QSettings(storeFile(), QSettings::IniFormat).contains("serviceToken"), !moved);
            QCOMPARE(service.tokenNote().isEmpty(), moved);
            QCOMPARE(bool(QFile::permissions(storeFile()) & QFileDevice::ReadOther), moved);
            QCOMPARE(service.endpoint().token, QByteArray("file-token"));
            if (moved) {
                ServiceSettings nextStart(store, keyring, builtIn);
                QCoro::waitFor(nextStart.load());
                QCOMPARE(nextStart.endpoint().token, QByteArray("file-token"));
            }
        }
    }

    // "Done" with a team's address that cannot be used keeps the window open and says why; a usable one is
    // stored with its token in the keyring; going back to this computer takes the token out of the keyring.
    void theServiceChosenIsAppliedByDone()
    {
        const QUrl local(QStringLiteral("http://127.0.0.1:8787/v1/explain"));
        AppSettings store(storeFile());
        FakeSecretStore keyring;
        ServiceSettings service(store, keyring, ServiceEndpoint { local, {}, {}, local, {} });
        QSignalSpy changed(&service, &ServiceSettings::endpointChanged);
        SettingsWindow settings(store, &m_loginItem, m_engines.engine(), nullptr, &service);
        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        QObject* model = settings.window()->view()->property("model").value<QObject*>();
        click(item(settings, "teamServiceChoice"));
        QVERIFY(item(settings, "serviceAddressField")->isVisible());
        model->setProperty("serviceAddress", QStringLiteral("http://team.example"));
        model->setProperty("serviceToken", QStringLiteral(" team-token "));
        QMetaObject::invokeMethod(model, "dismiss");
        QTRY_VERIFY(item(settings, "serviceProblem")->isVisible());
        QTest::qWait(100);
        QVERIFY(settings.window() && settings.window()->isVisible());
        QCOMPARE(changed.size(), 0);

        model->setProperty("serviceAddress", QStringLiteral("team.example"));
        QMetaObject::invokeMethod(model, "dismiss");
        QTRY_VERIFY(!settings.window());
        QCOMPARE(store.serviceURL(), QStringLiteral("https://team.example/v1/explain"));
        QCOMPARE(keyring.secrets.value(ServiceSettings::tokenName), QByteArray("team-token"));
        QVERIFY(store.serviceToken().isEmpty());
        QCOMPARE(service.endpoint().url, QUrl(QStringLiteral("https://team.example/v1/explain")));

        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        click(item(settings, "thisComputerChoice"));
        QMetaObject::invokeMethod(settings.window()->view()->property("model").value<QObject*>(), "dismiss");
        QTRY_VERIFY(!settings.window());
        QVERIFY(store.serviceURL().isEmpty());
        QVERIFY(keyring.secrets.isEmpty());
        QCOMPARE(service.endpoint().url, local);
    }

    void theKeysSwitchShowsWhatTheDesktopHoldsAndOnlyWhereOffered()
    {
        AppSettings store(storeFile());
        FakeDesktopShortcuts keys;
        keys.note = QStringLiteral("Alt+Z is used by “Minimize window”.");
        HotkeySettings hotkeys(store, {}, true);
        SettingsWindow settings(store, &m_loginItem, m_engines.engine(), &keys, nullptr, &hotkeys);
        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        QQuickItem* keysSwitch = item(settings, "keysSwitch");
        QTRY_VERIFY(keysSwitch->isVisible());
        QVERIFY(!keysSwitch->property("checked").toBool());
        click(keysSwitch);
        QTRY_VERIFY(keysSwitch->property("checked").toBool());
        QCOMPARE(keys.setUps, 1);
        QVERIFY(item(settings, "keysNote")->isVisible());
        QCOMPARE(item(settings, "keysNote")->property("text").toString(), keys.note);
        QCOMPARE(hotkeys.keyText(2), QStringLiteral("Ctrl+Alt+A")); // the key the desktop has, changed by the user
        click(keysSwitch);
        QTRY_VERIFY(!keysSwitch->property("checked").toBool());
        QCOMPARE(keys.removals, 1);
        QCOMPARE(hotkeys.keyText(2), QStringLiteral("Alt+A"));

        // Set up behind the window's back: a fresh window asks again; a desktop that takes keys itself shows none.
        settings.window()->close();
        keys.present = true;
        settings.open();
        QTRY_VERIFY(item(settings, "keysSwitch")->property("checked").toBool());
        settings.window()->close();
        keys.offered = false;
        settings.open();
        QVERIFY(QTest::qWaitForWindowExposed(settings.window()));
        QVERIFY(!item(settings, "keysSwitch")->isVisible());
    }

    void reusedWhileOpenRebuiltAfterCloseAndClosedByDoneOrEscape()
    {
        AppSettings store(storeFile());
        store.setCustomSystemPrompt(QStringLiteral("Be brief."));
        SettingsWindow settings(store, &m_loginItem, m_engines.engine());
        settings.open();
        QPointer<QQuickWindow> first = settings.window();
        QVERIFY(QTest::qWaitForWindowActive(first));
        settings.open();
        QCOMPARE(settings.window(), first.data());

        click(item(settings, "doneButton"));
        QTRY_VERIFY(!first);

        store.setCustomSystemPrompt(QStringLiteral("Be thorough."));
        settings.open();
        QPointer<QQuickWindow> second = settings.window();
        QVERIFY(QTest::qWaitForWindowActive(second));
        QCOMPARE(item(settings, "promptEditor")->property("text").toString(), QStringLiteral("Be thorough."));
        QVERIFY(item(settings, "promptEditor")->hasActiveFocus());
        QTest::keyClick(second, Qt::Key_Escape); // from inside the editor too
        QTRY_VERIFY(!second);
    }

    void anUnwritableFolderIsSaidOnceInTheWindowAndNoLoginItemDisablesTheSwitch()
    {
        // A file where the folder should be: no user, root included, can write below it.
        QFile blocker(m_dir.filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        AppSettings settings(m_dir.filePath(QStringLiteral("blocked/Quillora/Quillora.conf")));
        QSignalSpy reported(&settings, &AppSettings::cannotSaveChanged);
        SettingsWindow window(settings, nullptr, m_engines.engine());
        window.open();
        QVERIFY(QTest::qWaitForWindowActive(window.window()));
        QVERIFY(item(window, "promptHint")->property("text").toString().contains(QStringLiteral("cannot be saved")));
        QQuickItem* loginSwitch = item(window, "openAtLoginSwitch");
        QVERIFY(!loginSwitch->property("checked").toBool() && !loginSwitch->isEnabled());
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
    if (argc == 4 && qstrcmp(argv[1], "--set-prompt-and-die") == 0) {
        // Types the prompt over the old one and dies right after the last keystroke, without any clean-up.
        AppSettings settings(QString::fromLocal8Bit(argv[2]));
        std::printf("%s\n", qPrintable(settings.userId()));
        std::fflush(stdout);
        QmlEngineProvider engines;
        SettingsWindow window(settings, nullptr, engines.engine());
        window.open();
        if (!QTest::qWaitForWindowActive(window.window()))
            return 1;
        QTest::keyClick(window.window(), Qt::Key_A, Qt::ControlModifier);
        for (const char* key = argv[3]; *key; ++key)
            QTest::keyClick(window.window(), *key);
        std::raise(SIGKILL);
    }
    SettingsWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settingswindow.moc"
