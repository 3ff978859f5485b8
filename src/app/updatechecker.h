#pragma once

#include "app/appcast.h"

#include <QCoroTask>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QThreadPool>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>

class AppSettings;

// What a check found out.
struct UpdateCheckResult {
    enum class Kind {
        NewerVersion, // `item` is newer than the running program
        UpToDate,
        Failed, // `reason` says why, in words for the user
        NoFeed, // this build is updated by its package manager
    };
    Kind kind = Kind::Failed;
    AppcastItem item;
    QString reason;
};
Q_DECLARE_METATYPE(UpdateCheckResult)

// Reads the appcast feed compiled into this build and tells whether a newer release exists: at once when
// the user asks, and in the background at most once a day, where only a newer release is worth a word.
// Main thread only; the network wait never blocks it.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 maximumFeedSize = 512 * 1024;
    static constexpr std::chrono::milliseconds feedTimeout { 15000 };
    static constexpr std::chrono::hours automaticInterval { 24 };

    // feed empty: updates come from the package manager. settings keeps the time of the last automatic check.
    UpdateChecker(QUrl feed, QString currentVersion, AppSettings* settings, QObject* parent = nullptr);

    // The address this build was configured with; empty when its package manager updates it.
    static QUrl compiledFeed();

    QUrl feed() const { return m_feed; }
    QString currentVersion() const { return m_currentVersion; }

    // "Check for Updates...": the result is always announced.
    void checkForUpdates();
    // Checks now when the last automatic check is a day old (or never was), and keeps looking while running.
    void startAutomaticChecks();

    // The background check: reads the feed when the last automatic check is a day old (or never was).
    void checkIfDue();

    // One read of the feed and its verdict.
    QCoro::Task<UpdateCheckResult> check();

    // For tests: how long to wait for the feed.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

signals:
    // Something the user should hear about: any result of a manual check, a newer release found automatically.
    void announce(const UpdateCheckResult& result);
    // Every finished check, announced or not.
    void checkFinished(const UpdateCheckResult& result, bool manual);

private:
    QCoro::Task<> run(bool manual);
    QCoro::Task<UpdateCheckResult> fetch();

    QUrl m_feed;
    QString m_currentVersion;
    AppSettings* m_settings;
    QNetworkAccessManager m_network;
    // Parses the feed off the main thread; its thread is joined when the checker goes.
    QThreadPool m_parser;
    QTimer m_automaticTimer;
    std::chrono::milliseconds m_timeout = feedTimeout;
    bool m_running = false;
    bool m_manualWaiting = false; // a manual check asked while an automatic one was under way
};
