// Which service the program talks to: the user's settings over the built-in values, and plain http:// only
// to this computer.
#include "app/serviceconfig.h"
#include "settings/appsettings.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class ServiceConfigTest : public QObject {
    Q_OBJECT

private slots:
    void settingsOverrideTheBuiltInService_data()
    {
        QTest::addColumn<QString>("urlSetting");
        QTest::addColumn<QString>("tokenSetting");
        QTest::addColumn<bool>("usable");
        QTest::newRow("empty: built in") << QString() << QString() << true;
        QTest::newRow("blank: built in") << "  " << QStringLiteral(" ") << true;
        QTest::newRow("https anywhere") << "https://explain.example.org/v1/explain" << QStringLiteral("secret") << true;
        for (const char* url :
            { "http://127.0.0.1:8787/v1/explain", "http://localhost:8787/v1/explain", "http://[::1]:8787/v1/explain" })
            QTest::newRow(url) << url << QString() << true;
        for (const char* url :
            { "http://192.168.1.20:8787/v1/explain", "http://explain.example.org/v1", "http://localhost.example.org/" })
            QTest::newRow(url) << url << QString() << false;
    }

    void settingsOverrideTheBuiltInService()
    {
        QFETCH(QString, urlSetting);
        QFETCH(QString, tokenSetting);
        QFETCH(bool, usable);
        const ServiceEndpoint endpoint = resolveServiceEndpoint(urlSetting, tokenSetting);
        QCOMPARE(endpoint.url, QUrl(urlSetting.trimmed().isEmpty() ? "https://127.0.0.1:1/unused" : urlSetting));
        QCOMPARE(endpoint.token, tokenSetting.trimmed().isEmpty() ? "test-token" : tokenSetting.toUtf8());
        QCOMPARE(endpoint.problem.isEmpty(), usable);
        if (!usable)
            QVERIFY2(endpoint.problem.contains("serviceURL"), qPrintable(endpoint.problem));
    }

    void theProgramReadsTheUsersSettingsFile()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QSettings file(AppSettings::defaultFileName(), QSettings::IniFormat);
        file.setValue(AppSettings::serviceURLKey, "http://127.0.0.1:8787/v1/explain");
        file.setValue(AppSettings::serviceTokenKey, "team-secret");
        file.sync();
        const ServiceEndpoint endpoint = configuredServiceEndpoint();
        QCOMPARE(endpoint.url, QUrl("http://127.0.0.1:8787/v1/explain"));
        QCOMPARE(endpoint.token, "team-secret");
    }
};

QTEST_GUILESS_MAIN(ServiceConfigTest)
#include "tst_serviceconfig.moc"
