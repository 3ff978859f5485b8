#include "app/updatewindow.h"

#include "ui/viewwindow.h"

#include <QDesktopServices>
#include <QQuickItem>

UpdateWindow::UpdateWindow(QString currentVersion, QQmlEngine* engine, QObject* parent)
    : QObject(parent)
    , m_currentVersion(std::move(currentVersion))
    , m_engine(engine)
{
}

UpdateWindow::~UpdateWindow() { delete m_window.data(); }

std::pair<QString, QString> UpdateWindow::texts(const UpdateCheckResult& result, const QString& currentVersion)
{
    using Kind = UpdateCheckResult::Kind;
    switch (result.kind) {
    case Kind::NewerVersion:
        return { QStringLiteral("A new version of Quillora is available!"),
            QStringLiteral("Quillora %1 is available. You have version %2.")
                .arg(result.item.shortVersionString, currentVersion) };
    case Kind::UpToDate:
        return { QStringLiteral("Quillora is up to date."),
            QStringLiteral("Version %1 is the newest version available.").arg(currentVersion) };
    case Kind::NoFeed:
        return { QStringLiteral("Your package manager updates Quillora."),
            QStringLiteral("This build of Quillora is kept up to date by the package manager that installed it.") };
    case Kind::Failed:
        break;
    }
    return { QStringLiteral("Quillora could not check for updates."), result.reason };
}

void UpdateWindow::show(const UpdateCheckResult& result)
{
    using Kind = UpdateCheckResult::Kind;
    delete m_window.data();

    const auto [headline, message] = texts(result, m_currentVersion);
    const QString icon = result.kind == Kind::NewerVersion ? QStringLiteral("arrow.up.circle.fill")
        : result.kind == Kind::UpToDate                    ? QStringLiteral("checkmark.circle.fill")
        : result.kind == Kind::Failed                      ? QStringLiteral("exclamationmark.triangle")
                                                           : QStringLiteral("sparkles");
    const QUrl download = result.kind == Kind::NewerVersion
        ? (result.item.downloadLink.isEmpty() ? result.item.releaseNotesLink : result.item.downloadLink)
        : QUrl();
    const QUrl notes = result.kind == Kind::NewerVersion && result.item.releaseNotesLink != download
        ? result.item.releaseNotesLink
        : QUrl();

    auto* actions = new UpdateActions(download, notes);
    ViewWindow* window = ViewWindow::create(m_engine, updateViewUrl,
        { { QStringLiteral("icon"), icon }, { QStringLiteral("headline"), headline },
            { QStringLiteral("message"), message },
            { QStringLiteral("actions"), QVariant::fromValue<QObject*>(actions) } },
        QStringLiteral("Software Update"));
    if (!window) {
        delete actions;
        return;
    }
    actions->setParent(window);
    connect(actions, &UpdateActions::done, window, &QWindow::close, Qt::QueuedConnection);
    m_window = window;
    window->present();
}

UpdateActions::UpdateActions(QUrl download, QUrl releaseNotes, QObject* parent)
    : QObject(parent)
    , m_download(std::move(download))
    , m_releaseNotes(std::move(releaseNotes))
{
}

void UpdateActions::download()
{
    if (!m_download.isEmpty())
        QDesktopServices::openUrl(m_download);
    emit done();
}

void UpdateActions::openReleaseNotes()
{
    if (!m_releaseNotes.isEmpty())
        QDesktopServices::openUrl(m_releaseNotes);
}
