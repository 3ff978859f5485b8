#include "platform/x11/x11pasteboard.h"

#include "platform/workerthread.h"
#include "platform/x11/x11selectionreader.h"

#include <QClipboard>
#include <QCoroFuture>
#include <QGuiApplication>
#include <QMimeData>

#include <memory>

namespace {

// The reader of the pasteboard's thread, created there on first use and destroyed as that thread ends.
X11SelectionReader& reader()
{
    static thread_local X11SelectionReader instance;
    return instance;
}

X11SelectionReader::Clock::time_point deadline()
{
    return X11SelectionReader::Clock::now() + X11Pasteboard::readTimeout;
}

// Runs job(reader) on the pasteboard's thread; the future carries its result.
template <typename Job> auto onReaderThread(WorkerThread& worker, Job job)
{
    return worker.run([job = std::move(job)] { return job(reader()); });
}

} // namespace

X11Pasteboard::X11Pasteboard()
    : m_worker(std::make_unique<WorkerThread>(QStringLiteral("Pasteboard")))
{
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode != QClipboard::Clipboard)
            return;
        ++m_changeCount;
        emit changed();
    });
}

X11Pasteboard::~X11Pasteboard() = default;

QCoro::Task<std::optional<QString>> X11Pasteboard::text()
{
    co_return co_await onReaderThread(*m_worker,
        [end = deadline()](X11SelectionReader& r) { return r.readText(r.clipboard(), end, maximumTextBytes); });
}

QCoro::Task<std::optional<PasteboardSnapshot>> X11Pasteboard::snapshot()
{
    const std::optional<X11SelectionReader::Targets> targets = co_await onReaderThread(*m_worker,
        [end = deadline()](X11SelectionReader& r) { return r.readAll(r.clipboard(), end, maximumSnapshotBytes); });
    if (!targets)
        co_return std::nullopt;
    co_return PasteboardSnapshot { *targets };
}

void X11Pasteboard::restore(const PasteboardSnapshot& snapshot)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (snapshot.isEmpty()) {
        clipboard->clear(QClipboard::Clipboard);
        return;
    }
    // Qt offers each format under its own name as a target (and the text as UTF8_STRING, STRING and
    // TEXT too), so every target comes back, bare names included.
    auto* data = new QMimeData;
    for (const auto& [format, bytes] : snapshot.formats)
        data->setData(format, bytes);
    clipboard->setMimeData(data, QClipboard::Clipboard); // the clipboard takes ownership
}

QCoro::Task<qint64> X11Pasteboard::ownerPid()
{
    co_return co_await onReaderThread(*m_worker, [](X11SelectionReader& r) { return r.ownerPid(r.clipboard()); });
}

QCoro::Task<std::optional<QString>> X11Pasteboard::primarySelectionOwnedBy(const FrontmostAppInfo& app)
{
    const qint64 pid = app.pid;
    if (pid <= 0)
        co_return std::nullopt;
    co_return co_await onReaderThread(*m_worker, [pid, end = deadline()](X11SelectionReader& r) {
        std::optional<QString> text;
        if (r.ownerPid(XCB_ATOM_PRIMARY) == pid)
            text = r.readText(XCB_ATOM_PRIMARY, end, maximumTextBytes);
        return text && !text->isEmpty() ? text : std::nullopt;
    });
}
