#include "platform/wayland/datacontrolpasteboard.h"

#include "platform/wayland/datacontrolconnection.h"

#include <QCoroFuture>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPromise>

#include <algorithm>

namespace {

// The application id Qt's Wayland plugin gives this program's windows: the desktop file's name, else the program's
// file name, behind the organisation's domain reversed when there is one.
QByteArray ownAppId()
{
    QString name = QGuiApplication::desktopFileName();
    if (name.endsWith(QLatin1String(".desktop")))
        name.chop(8);
    if (name.isEmpty()) {
        name = QFileInfo(QCoreApplication::applicationFilePath()).baseName();
        QStringList domain = QCoreApplication::organizationDomain().split(u'.', Qt::SkipEmptyParts);
        if (!domain.isEmpty()) {
            std::reverse(domain.begin(), domain.end());
            name = domain.join(u'.') + u'.' + name;
        }
    }
    return name.toUtf8();
}

// A promise kept by the connection's thread; the connection answers every request, at the latest as it
// closes, so the future always carries a result.
template <typename T> std::pair<std::function<void(T)>, QFuture<T>> promised()
{
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    return { [promise](T value) {
                promise->addResult(std::move(value));
                promise->finish();
            },
        future };
}

} // namespace

std::unique_ptr<DataControlPasteboard> DataControlPasteboard::create(Limits limits)
{
    std::unique_ptr<DataControlPasteboard> pasteboard = start(limits);
    // The connection's thread answers within its set-up bound.
    if (!pasteboard || !pasteboard->m_connection->ready().result())
        return nullptr;
    return pasteboard;
}

QCoro::Task<bool> DataControlPasteboard::available() { co_return co_await m_connection->ready(); }

std::unique_ptr<DataControlPasteboard> DataControlPasteboard::start(Limits limits)
{
    std::unique_ptr<DataControlPasteboard> pasteboard(new DataControlPasteboard);
    DataControlConnection::Limits connectionLimits;
    connectionLimits.readTimeout = limits.readTimeout;
    connectionLimits.maximumTextBytes = limits.maximumTextBytes;
    connectionLimits.maximumSnapshotBytes = limits.maximumSnapshotBytes;
    // Changes are counted on the main thread, in the order they came.
    pasteboard->m_connection = DataControlConnection::open(
        connectionLimits,
        [self = pasteboard.get()] {
            QMetaObject::invokeMethod(
                self,
                [self] {
                    ++self->m_changeCount;
                    emit self->changed();
                },
                Qt::QueuedConnection);
        },
        ownAppId());
    if (!pasteboard->m_connection)
        return nullptr;
    return pasteboard;
}

std::unique_ptr<DataControlPasteboard> DataControlPasteboard::create() { return create(Limits {}); }

// The connection's thread ends first, so no change is posted to a pasteboard that is gone.
DataControlPasteboard::~DataControlPasteboard() { m_connection.reset(); }

QCoro::Task<std::optional<QString>> DataControlPasteboard::text()
{
    auto [done, future] = promised<std::optional<QString>>();
    m_connection->readText(std::move(done));
    co_return co_await future;
}

QCoro::Task<std::optional<QString>> DataControlPasteboard::primarySelectionOwnedBy(const FrontmostAppInfo& app)
{
    auto [done, future] = promised<std::optional<QString>>();
    m_connection->readPrimaryText(app.activatedAt, std::move(done));
    co_return co_await future;
}

QCoro::Task<std::optional<PasteboardSnapshot>> DataControlPasteboard::snapshot()
{
    auto [done, future] = promised<std::optional<DataControlConnection::Formats>>();
    m_connection->readAll(std::move(done));
    const std::optional<DataControlConnection::Formats> formats = co_await future;
    if (!formats)
        co_return std::nullopt;
    co_return PasteboardSnapshot { *formats };
}

void DataControlPasteboard::restore(const PasteboardSnapshot& snapshot)
{
    m_connection->setSelection(snapshot.formats);
}

std::unique_ptr<Pasteboard> makeDataControlPasteboard() { return DataControlPasteboard::create(); }
