// Which service the program talks to: the user's settings over the built-in values, and plain http:// only
// to this computer.
#include "app/serviceconfig.h"

#include <QTest>

class ServiceConfigTest : public QObject {
    Q_OBJECT

private slots:
    void settingsOverrideTheBuiltInService_data()
    {
        QTest::addColumn<QString>("urlSetting");
        QTest::addColumn<QString>("tokenSetting");
        QTest::addColumn<bool>("usable");
        QTest::newRow("empty: built in") << ""
                                         << "" << true;
        QTest::newRow("blank: built in") << "  "
                                         << " " << true;
        QTest::newRow("https anywhere") << "https://explain.example.org/v1/explain"
                                        << "team-secret" << true;
        QTest::newRow("http to loopback") << "http://127.0.0.1:8787/v1/explain"
                                          << "" << true;
        QTest::newRow("http to localhost") << "http://localhost:8787/v1/explain"
                                           << "" << true;
        QTest::newRow("http to ::1") << "http://[::1]:8787/v1/explain"
                                     << "" << true;
        QTest::newRow("http across a network") << "http://192.168.1.20:8787/v1/explain"
                                               << "" << false;
        QTest::newRow("http to a name") << "http://explain.example.org/v1"
                                        << "" << false;
        QTest::newRow("http to a look-alike") << "http://localhost.example.org/"
                                              << "" << false;
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
};

QTEST_GUILESS_MAIN(ServiceConfigTest)
#include "tst_serviceconfig.moc"
