// GLib's headers use "signals" as an identifier: include them before any Qt header.
#include <glib.h>

#include "platform/x11/atspithread.h"

#include "platform/x11/atspireading.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// Each AT-SPI thread's own.
thread_local bool workerOwnsContext = false;
thread_local QTimer* idleServing = nullptr;
thread_local bool servingContinuously = false;

constexpr int idleServeMs = 250;

// Serves GLib's default context whenever one of its file descriptors is ready or one of its timeouts is
// due, through Qt's own event loop on the AT-SPI thread: after each round it asks GLib what to wait for
// and watches those descriptors with socket notifiers. Lives on the AT-SPI thread.
class ContextWatch final : public QObject {
public:
    explicit ContextWatch(QObject* parent)
        : QObject(parent)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &ContextWatch::serve);
    }

    void serve()
    {
        AtspiReading::dispatchPending();
        rewatch();
    }

private:
    void rewatch()
    {
        m_notifiers.clear();
        GMainContext* context = g_main_context_default();
        gint priority = 0;
        const bool ready = g_main_context_prepare(context, &priority);
        std::array<GPollFD, 64> fds {};
        int timeout = -1;
        const int count = std::min<int>(
            g_main_context_query(context, priority, &timeout, fds.data(), int(fds.size())), int(fds.size()));
        // This round ends without dispatching; GLib expects every prepare to be followed by a check.
        for (int i = 0; i < count; ++i)
            fds[size_t(i)].revents = 0;
        g_main_context_check(context, priority, fds.data(), count);
        if (ready) {
            // Served from the event loop, after whatever else waits there.
            m_timer.start(0);
            return;
        }
        for (int i = 0; i < count; ++i) {
            const GPollFD& fd = fds[size_t(i)];
            if (fd.events & (G_IO_IN | G_IO_HUP | G_IO_ERR))
                watch(fd.fd, QSocketNotifier::Read);
            if (fd.events & G_IO_OUT)
                watch(fd.fd, QSocketNotifier::Write);
        }
        // Timeouts of GLib's own, and a round now and then in case a descriptor was left out.
        m_timer.start(timeout >= 0 && timeout < idleServeMs ? timeout : idleServeMs);
    }

    void watch(int fd, QSocketNotifier::Type type)
    {
        auto notifier = std::make_unique<QSocketNotifier>(qintptr(fd), type);
        // Serving replaces the notifiers, which must not happen inside their own signal: it waits for the
        // event loop, and the notifiers keep quiet until then.
        connect(notifier.get(), &QSocketNotifier::activated, this, [this] {
            for (const auto& each : m_notifiers)
                each->setEnabled(false);
            m_timer.start(0);
        });
        m_notifiers.push_back(std::move(notifier));
    }

    QTimer m_timer;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
};

} // namespace

AtspiThread::AtspiThread()
{
    // Qt's GLib dispatcher would run the default context on the main thread as well, take the replies the
    // AT-SPI thread waits for, and run libatspi on two threads at once.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        dispatcher && dispatcher->inherits("QEventDispatcherGlib")) {
        std::printf("[Accessibility] the main thread runs GLib's default context; AT-SPI is not used\n");
        std::fflush(stdout);
        m_usable = false;
    }
    // What libatspi holds is let go on its own thread, before that thread ends.
    m_worker = std::make_unique<WorkerThread>(QStringLiteral("AT-SPI"), [] {
        if (workerOwnsContext)
            AtspiReading::releaseThread();
    });
    if (!m_usable)
        return;
    // The thread takes the default context for good and serves it between readings, so what the
    // applications send never piles up.
    m_worker->post([worker = m_worker->context()] {
        workerOwnsContext = AtspiReading::takeDefaultContext();
        if (!workerOwnsContext) {
            std::printf("[Accessibility] GLib's default context belongs to another thread; AT-SPI is not used\n");
            std::fflush(stdout);
            return;
        }
        idleServing = new QTimer(worker);
        QObject::connect(idleServing, &QTimer::timeout, worker, [] { AtspiReading::dispatchPending(); });
        idleServing->start(idleServeMs);
    });
}

AtspiThread::~AtspiThread() = default;

bool AtspiThread::ownsContextHere() { return workerOwnsContext; }

void AtspiThread::serveContinuously()
{
    if (!m_usable)
        return;
    m_worker->post([worker = m_worker->context()] {
        if (!workerOwnsContext || servingContinuously)
            return;
        servingContinuously = true;
        delete std::exchange(idleServing, nullptr);
        (new ContextWatch(worker))->serve();
    });
}
