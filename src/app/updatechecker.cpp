#include "app/updatechecker.h"

#include "settings/appsettings.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>

#include <cstdio>

UpdateChecker::UpdateChecker(QUrl feed, QString currentVersion, AppSettings* settings, QObject* parent)
    : QObject(parent)
    , m_feed(std::move(feed))
    , m_currentVersion(std::move(currentVersion))
    , m_settings(settings)
{
    // A day is long; look hourly whether one has passed (the machine may have slept through the timer).
    m_automaticTimer.setInterval(std::chrono::hours(1));
    connect(&m_automaticTimer, &QTimer::timeout, this, &UpdateChecker::checkIfDue);
}

void UpdateChecker::checkForUpdates()
{
    if (m_running) {
        m_manualWaiting = true; // the running check's result will be announced
        return;
    }
    run(true);
}

void UpdateChecker::startAutomaticChecks()
{
    if (m_feed.isEmpty())
        return; // the package manager does this job
    m_automaticTimer.start();
    // Not during start-up itself: a minute later.
    QTimer::singleShot(std::chrono::minutes(1), this, &UpdateChecker::checkIfDue);
}

void UpdateChecker::checkIfDue()
{
    if (m_feed.isEmpty())
        return;
    const QDateTime last = m_settings ? m_settings->lastUpdateCheck() : QDateTime();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // A last check in the future means the clock was changed: check rather than wait for it.
    if (last.isValid() && last <= now && last.secsTo(now) < std::chrono::seconds(automaticInterval).count())
        return;
    if (!m_running)
        run(false);
}

QCoro::Task<> UpdateChecker::run(bool manual)
{
    m_running = true;
    m_manualWaiting = manual;
    QPointer<UpdateChecker> self(this);
    const UpdateCheckResult result = co_await check();
    if (!self)
        co_return;
    m_running = false;
    const bool announced = m_manualWaiting || result.kind == UpdateCheckResult::Kind::NewerVersion;
    if (!m_manualWaiting && m_settings)
        m_settings->setLastUpdateCheck(QDateTime::currentDateTimeUtc());
    if (result.kind == UpdateCheckResult::Kind::Failed) {
        std::printf("[UpdateChecker] %s\n", qPrintable(result.reason));
        std::fflush(stdout);
    }
    emit checkFinished(result, m_manualWaiting);
    m_manualWaiting = false;
    if (announced)
        emit announce(result);
}

QCoro::Task<UpdateCheckResult> UpdateChecker::check()
{
    if (m_feed.isEmpty())
        co_return UpdateCheckResult { UpdateCheckResult::Kind::NoFeed, {}, {} };
    QPointer<UpdateChecker> self(this);
    UpdateCheckResult result = co_await fetch();
    if (!self || result.kind == UpdateCheckResult::Kind::Failed)
        co_return result;
    const std::optional<VersionNumber> current = VersionNumber::parse(m_currentVersion);
    const std::optional<VersionNumber> offered = VersionNumber::parse(result.item.version);
    result.kind = current && offered && *current < *offered ? UpdateCheckResult::Kind::NewerVersion
                                                            : UpdateCheckResult::Kind::UpToDate;
    co_return result;
}

QCoro::Task<UpdateCheckResult> UpdateChecker::fetch()
{
    auto failed = [](QString reason) { return UpdateCheckResult { UpdateCheckResult::Kind::Failed, {}, reason }; };

    QNetworkRequest request(m_feed);
    request.setTransferTimeout(int(m_timeout.count()));
    request.setMaximumRedirectsAllowed(5);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Quillora/%1").arg(m_currentVersion));
    QNetworkReply* reply = m_network.get(request);
    // The feed is small; anything bigger is not ours and must not fill the memory.
    bool tooLarge = false;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, &tooLarge](qint64 received, qint64 total) {
        if (received > maximumFeedSize || total > maximumFeedSize) {
            tooLarge = true;
            reply->abort();
        }
    });
    QPointer<QNetworkReply> alive(reply);
    co_await qCoro(reply).waitForFinished();
    if (!alive) // the checker, and its network access with it, went away
        co_return failed(QStringLiteral("The update check was cancelled."));
    reply->deleteLater();
    // The coroutine's frame (and tooLarge in it) outlives the reply's signals from here on.
    disconnect(reply, &QNetworkReply::downloadProgress, reply, nullptr);

    if (tooLarge)
        co_return failed(QStringLiteral("The update feed is larger than %1 KB.").arg(maximumFeedSize / 1024));
    if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError)
        co_return failed(QStringLiteral("The update server did not answer in time."));
    if (const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); status >= 300)
        co_return failed(QStringLiteral("The update server answered %1 %2.")
                             .arg(status)
                             .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(80)));
    if (reply->error() != QNetworkReply::NoError)
        co_return failed(QStringLiteral("The update feed could not be read: %1").arg(reply->errorString()));
    const QByteArray body = reply->read(maximumFeedSize + 1);
    if (body.size() > maximumFeedSize)
        co_return failed(QStringLiteral("The update feed is larger than %1 KB.").arg(maximumFeedSize / 1024));

    // Up to the size cap this takes longer than a frame: parse on the parser's thread.
    auto promise = std::make_shared<QPromise<Appcast::ParseResult>>();
    QFuture<Appcast::ParseResult> parsing = promise->future();
    promise->start();
    m_parser.start([promise, body] {
        promise->addResult(Appcast::parse(body));
        promise->finish();
    });
    Appcast::ParseResult parsed = co_await parsing;
    if (!parsed.newest)
        co_return failed(parsed.problem);
    co_return UpdateCheckResult { UpdateCheckResult::Kind::UpToDate, *parsed.newest, {} };
}
