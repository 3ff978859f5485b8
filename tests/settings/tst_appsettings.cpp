#include "settings/appsettings.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// Child mode: open the store, change the prompt, and die at once without any clean-up.
int setPromptAndDie(const char* fileName, const char* prompt)
{
    AppSettings settings(QString::fromLocal8Bit(fileName));
    std::printf("%s\n", qPrintable(settings.userId()));
    std::fflush(stdout);
    settings.setCustomSystemPrompt(QString::fromUtf8(prompt));
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
        QSettings disk(file(), QSettings::IniFormat);
        QCOMPARE(disk.value(QStringLiteral("userId")).toString(), settings.userId());
        QVERIFY(!disk.contains(QStringLiteral("customSystemPrompt")));
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

    void promptChangesNotifyAndClearingStoresAnEmptyString()
    {
        AppSettings settings(file());
        int notifications = 0;
        connect(&settings, &AppSettings::customSystemPromptChanged, this, [&] { ++notifications; });
        settings.setCustomSystemPrompt(QStringLiteral("Be brief"));
        settings.setCustomSystemPrompt(QStringLiteral("Be brief"));
        QCOMPARE(notifications, 1);

        settings.setCustomSystemPrompt(QString());
        QSettings disk(file(), QSettings::IniFormat);
        QVERIFY(disk.contains(QStringLiteral("customSystemPrompt")));
        QCOMPARE(disk.value(QStringLiteral("customSystemPrompt")).toString(), QString());
    }

    void flagsAndPromptSurviveAReopen()
    {
        {
            AppSettings settings(file());
            settings.setHasCompletedOnboarding(true);
            settings.setHasRegisteredLoginItem(true);
            settings.setCustomSystemPrompt(QStringLiteral("line one\nline \"two\" = ; #"));
        }
        AppSettings reopened(file());
        QVERIFY(reopened.hasCompletedOnboarding());
        QVERIFY(reopened.hasRegisteredLoginItem());
        QCOMPARE(reopened.customSystemPrompt(), QStringLiteral("line one\nline \"two\" = ; #"));
    }
};

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--set-prompt-and-die") == 0)
        return setPromptAndDie(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    AppSettingsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appsettings.moc"
