// The update checker against a feed on 127.0.0.1: what a manual check tells the user and what an automatic
// one keeps to itself, for good and bad feeds.
#include "app/updatechecker.h"
#include "settings/appsettings.h"
#include "stubservice.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(UpdateCheckResult::Kind)
Q_DECLARE_METATYPE(StubService::Reply)

namespace {

QByteArray feed(const QList<QByteArray>& versions)
{
    QByteArray items;
    for (const QByteArray& version : versions)
        items += "<item><title>Quillora " + version + "</title><sparkle:version>" + version
            + "</sparkle:version><sparkle:releaseNotesLink>https://quillora.org/notes/" + version
            + "</sparkle:releaseNotesLink><enclosure url=\"https://quillora.org/get/" + version
            + "\" type=\"application/gzip\"/></item>";
    return R"(<?xml version="1.0"?><rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>Quillora</title>)"
        + items + "</channel></rss>";
}

} // namespace

class UpdateCheckerTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void versionsCompareAsNumbers()
    {
        for (const auto& [older, newer] :
            std::initializer_list<std::pair<QString, QString>> { { "1.9", "1.10" }, { "1.2-beta1", "1.2" },
                { "1.2-beta2", "1.2-beta10" }, { "2.0b3", "2.0rc1" }, { "1.2", "1.2.1" }, { "0.9.9", "v1" } }) {
            const auto a = VersionNumber::parse(older), b = VersionNumber::parse(newer);
            QVERIFY2(a && b && *a < *b && !(*b < *a), qPrintable(older));
        }
        QVERIFY(*VersionNumber::parse("1.2") == *VersionNumber::parse("1.2.0+build7"));
        for (const char* bad : { "", "one", "1..2", "1.2.3.4.5.6.7.8.9", "99999999999", "1.2 beta" })
            QVERIFY2(!VersionNumber::parse(QString::fromLatin1(bad)), bad);
    }

    void manualChecksSayWhatTheyFound_data()
    {
        QTest::addColumn<StubService::Reply>("reply");
        QTest::addColumn<UpdateCheckResult::Kind>("kind");
        QTest::addColumn<QString>("detail"); // the offered version, or words of the reason
        using K = UpdateCheckResult::Kind;
        using R = StubService::Reply;
        QTest::newRow("newer") << R { 200, feed({ "1.2.0", "1.3.1", "1.3" }) } << K::NewerVersion << "1.3.1";
        QTest::newRow("equal") << R { 200, feed({ "1.2" }) } << K::UpToDate << "1.2";
        QTest::newRow("unparsable skipped") << R { 200, feed({ "latest", "1.4" }) } << K::NewerVersion << "1.4";
        QTest::newRow("only unparsable") << R { 200, feed({ "latest", "" }) } << K::Failed << "no version";
        QTest::newRow("bad XML") << R { 200, "<rss><channel><item></channel>" } << K::Failed << "not valid XML";
        QTest::newRow("HTML page") << R { 200, "<html><body>Moved</body></html>" } << K::Failed << "not an RSS feed";
        QTest::newRow("no items") << R { 200, feed({}) } << K::Failed << "no releases";
        QTest::newRow("empty body") << R { 200, "" } << K::Failed << "empty";
        QTest::newRow("server error") << R { 500, "oops" } << K::Failed << "answered 500";
        QTest::newRow("oversized") << R { 200, feed({ "9.0" }) + QByteArray(600 * 1024, ' ') } << K::Failed
                                   << "larger than";
        QTest::newRow("stalled") << R { 200, {}, {}, true } << K::Failed << "did not answer";
    }
    void manualChecksSayWhatTheyFound()
    {
        QFETCH(StubService::Reply, reply);
        QFETCH(UpdateCheckResult::Kind, kind);
        QFETCH(QString, detail);

        StubService stub(StubService::Tls::None);
        reply.contentType = "application/rss+xml";
        stub.setReply(reply);
        UpdateChecker checker(stub.url(QStringLiteral("/appcast.xml")), QStringLiteral("1.2"), nullptr);
        checker.setTimeout(std::chrono::milliseconds(400));
        QSignalSpy announced(&checker, &UpdateChecker::announce);
        checker.checkForUpdates();
        QVERIFY(announced.wait(5000));
        const auto result = announced.first().first().value<UpdateCheckResult>();
        QCOMPARE(result.kind, kind);
        if (kind == UpdateCheckResult::Kind::Failed) {
            QVERIFY2(result.reason.contains(detail), qPrintable(result.reason));
        } else {
            QCOMPARE(result.item.version, detail);
            QCOMPARE(result.item.downloadLink.toString(), "https://quillora.org/get/" + detail);
            QCOMPARE(result.item.releaseNotesLink.toString(), "https://quillora.org/notes/" + detail);
        }

        // The same feed read in the background says nothing unless there is something newer.
        QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
        checker.checkIfDue();
        QVERIFY(finished.wait(5000));
        QCOMPARE(announced.size(), kind == UpdateCheckResult::Kind::NewerVersion ? 2 : 1);
    }

    void automaticChecksAtMostOnceADayAndNeverWithoutAFeed()
    {
        StubService stub(StubService::Tls::None);
        stub.setReply({ 200, feed({ "1.0" }), "application/rss+xml" });
        AppSettings settings(m_dir.filePath(QStringLiteral("Quillora.conf")));
        UpdateChecker checker(stub.url(QStringLiteral("/appcast.xml")), QStringLiteral("1.0"), &settings);
        QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
        checker.checkIfDue();
        QVERIFY(finished.wait(5000));
        checker.checkIfDue(); // a day has not passed
        settings.setLastUpdateCheck(QDateTime::currentDateTimeUtc().addSecs(-25 * 3600));
        checker.checkIfDue();
        QVERIFY(finished.wait(5000));
        QCOMPARE(stub.requests().size(), 2);

        UpdateChecker packaged(QUrl(), QStringLiteral("1.0"), &settings);
        QSignalSpy told(&packaged, &UpdateChecker::announce);
        packaged.checkIfDue();
        packaged.checkForUpdates();
        QCOMPARE(told.size(), 1);
        QCOMPARE(told.first().first().value<UpdateCheckResult>().kind, UpdateCheckResult::Kind::NoFeed);
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"
