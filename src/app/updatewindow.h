#pragma once

#include "app/updatechecker.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class QQmlEngine;
#include "ui/viewwindow.h"

// What the update window's buttons do.
class UpdateActions : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canDownload READ canDownload CONSTANT)
    Q_PROPERTY(bool hasReleaseNotes READ hasReleaseNotes CONSTANT)

public:
    UpdateActions(QUrl download, QUrl releaseNotes, QObject* parent = nullptr);
    bool canDownload() const { return !m_download.isEmpty(); }
    bool hasReleaseNotes() const { return !m_releaseNotes.isEmpty(); }
    Q_INVOKABLE void download();
    Q_INVOKABLE void openReleaseNotes();

signals:
    void done();

private:
    QUrl m_download;
    QUrl m_releaseNotes;
};

// The small window that tells the result of an update check; a newer release comes with a button that
// opens its page. One at a time: a new result replaces the one shown. Main thread only.
class UpdateWindow : public QObject {
    Q_OBJECT

public:
    static inline const QUrl updateViewUrl { QStringLiteral("qrc:/Quillora/app/UpdateView.qml") };

    // The engine must outlive this object.
    UpdateWindow(QString currentVersion, QQmlEngine* engine, QObject* parent = nullptr);
    ~UpdateWindow() override;

    void show(const UpdateCheckResult& result);
    ViewWindow* window() const { return m_window.data(); }

    // The texts shown for a result: headline, then the line under it.
    static std::pair<QString, QString> texts(const UpdateCheckResult& result, const QString& currentVersion);

private:
    QString m_currentVersion;
    QQmlEngine* m_engine;
    QPointer<ViewWindow> m_window;
};
