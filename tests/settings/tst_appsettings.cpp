#include "settings/appsettings.h"
#include "settings/settingswindow.h"
#include "settings/viewwindow.h"

#include <QGuiApplication>
#include <QProcess>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSGRendererInterface>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// Child mode: type the prompt over the old one in the settings window, and die right after the last
// keystroke without any clean-up.
int setPromptAndDie(int argc, char** argv)
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    AppSettings settings(QString::fromLocal8Bit(argv[2]));
    std::printf("%s\n", qPrintable(settings.userId()));
    std::fflush(stdout);
    QQmlEngine engine;
    SettingsWindow window(settings, nullptr, &engine);
    window.open();
    if (!QTest::qWaitForWindowActive(window.window()))
        return 1;
    QTest::keyClick(window.window(), Qt::Key_A, Qt::ControlModifier);
    for (const char key : QByteArray(argv[3]))
        QTest::keyClick(window.window(), key);
    std::raise(SIGKILL);
    return 1;
}

} // namespace

class AppSettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file() const { return m_dir.filePath(QStringLiteral("Quillora/Quillora.conf")); }

    QString runChild(const QString& prompt)
    {
        QProcess child;
        child.start(
            QCoreApplication::applicationFilePath(), { QStringLiteral("--set-prompt-and-die"), file(), prompt });
        child.waitForFinished(10000);
        return QString::fromUtf8(child.readAllStandardOutput()).trimmed();
    }

private slots:
    void init() { QFile::remove(file()); }

    void freshStoreHasEmptyPromptAndAPersistedUpperCaseUserId()
    {
        AppSettings settings(file());
        QCOMPARE(settings.customSystemPrompt(), QString());
        QVERIFY(
            QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"))
                .match(settings.userId())
                .hasMatch());
        QVERIFY(!settings.hasRegisteredLoginItem());
        QVERIFY(!settings.hasCompletedOnboarding());
        // On disk already, before anything could have been sent with it.
        QCOMPARE(QSettings(file(), QSettings::IniFormat).value("userId").toString(), settings.userId());
    }

    void laterStartsKeepTheUserIdAndAKilledProcessKeepsItsLastKeystroke()
    {
        const QString firstId = runChild(QStringLiteral("Answer like a pirate"));
        QCOMPARE(firstId.size(), 36);
        const QString secondId = runChild(QStringLiteral("Answer like a pirate."));
        QCOMPARE(secondId, firstId);

        AppSettings settings(file());
        QCOMPARE(settings.userId(), firstId);
        QCOMPARE(settings.customSystemPrompt(), QStringLiteral("Answer like a pirate."));
    }

    void valuesSurviveAReopenAndAChangeNotifiesOnce()
    {
        const QString prompt = QStringLiteral("line one\nline \"two\" = ; #");
        {
            AppSettings settings(file());
            QSignalSpy changed(&settings, &AppSettings::customSystemPromptChanged);
            settings.setHasCompletedOnboarding(true);
            settings.setHasRegisteredLoginItem(true);
            settings.setCustomSystemPrompt(prompt);
            settings.setCustomSystemPrompt(prompt);
            QCOMPARE(changed.size(), 1);
        }
        AppSettings reopened(file());
        QVERIFY(reopened.hasCompletedOnboarding());
        QVERIFY(reopened.hasRegisteredLoginItem());
        QCOMPARE(reopened.customSystemPrompt(), prompt);
        reopened.setCustomSystemPrompt(QString());
        QCOMPARE(AppSettings(file()).customSystemPrompt(), QString());
    }
};

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--set-prompt-and-die") == 0)
        return setPromptAndDie(argc, argv);
    QCoreApplication app(argc, argv);
    AppSettingsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appsettings.moc"
