#include "platform/wayland/datacontrolconnection.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <QPromise>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using Clock = DataControlConnection::Clock;

// The text types, best first. Wayland clients write all three in UTF-8.
const char* const textTypes[] = { "text/plain;charset=utf-8", "UTF8_STRING", "text/plain" };

// One wake-up moves at most this much through one pipe, so a fast transfer cannot starve the others.
constexpr qsizetype chunkBytes = 64 * 1024;
constexpr int chunksPerWake = 16;

// The most windows followed, and the longest application id kept; further windows are not followed.
constexpr std::size_t maximumToplevels = 4096;
constexpr qsizetype maximumAppIdLength = 256;

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<qint64>(left, 0, 60 * 1000));
}

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A write to a pipe whose reader has gone raises SIGPIPE in the writing thread, which blocks it; the
// pending signal is taken back so that it never reaches the process.
void discardPendingSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now {};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) { }
}

} // namespace

struct DataControlConnection::Offer {
    zwlr_data_control_offer_v1* proxy = nullptr;
    QList<QByteArray> mimeTypes;

    explicit Offer(zwlr_data_control_offer_v1* p)
        : proxy(p)
    {
    }
    ~Offer() { zwlr_data_control_offer_v1_destroy(proxy); }
};

struct DataControlConnection::Reading {
    int fd = -1;
    QByteArray data;
    qsizetype limit = 0;
    Clock::time_point deadline;
    std::function<void(std::optional<QByteArray>)> done;
    ~Reading() { ::close(fd); }
};

struct DataControlConnection::Sending {
    int fd = -1;
    QByteArray data;
    qsizetype written = 0;
    Clock::time_point deadline;
    ~Sending() { ::close(fd); }
};

struct DataControlConnection::Source {
    DataControlConnection* connection = nullptr;
    zwlr_data_control_source_v1* proxy = nullptr;
    Formats formats;
    ~Source() { zwlr_data_control_source_v1_destroy(proxy); }
};

struct DataControlConnection::Confirmation {
    DataControlConnection* connection = nullptr;
    wl_callback* callback = nullptr;
    const quint64* current = nullptr;
    quint64 generation = 0;
    Clock::time_point deadline;
    std::function<void(bool)> done;
    ~Confirmation() { wl_callback_destroy(callback); }
};

struct DataControlConnection::Toplevel {
    DataControlConnection* connection = nullptr;
    zwlr_foreign_toplevel_handle_v1* proxy = nullptr;
    QByteArray appId;
    bool activated = false; // as of the last done event
    bool activatedNext = false; // as of the last state event
    ~Toplevel() { zwlr_foreign_toplevel_handle_v1_destroy(proxy); }
};

struct DataControlConnection::SnapshotJob {
    quint64 generation = 0;
    QList<QByteArray> mimeTypes;
    qsizetype next = 0;
    qsizetype total = 0;
    Formats formats;
    Clock::time_point deadline;
    std::function<void(std::optional<Formats>)> done;
};

DataControlConnection::DataControlConnection(Limits limits, std::function<void()> selectionChanged, QByteArray ownAppId)
    : m_limits(limits)
    , m_selectionChanged(std::move(selectionChanged))
    , m_ownAppId(std::move(ownAppId))
{
}

std::unique_ptr<DataControlConnection> DataControlConnection::open(
    Limits limits, std::function<void()> selectionChanged, QByteArray ownAppId)
{
    // Without WAYLAND_DISPLAY libwayland would try "wayland-0", which may be some other session's.
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return nullptr;
    std::unique_ptr<DataControlConnection> connection(
        new DataControlConnection(limits, std::move(selectionChanged), std::move(ownAppId)));
    connection->m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (connection->m_wakeFd < 0)
        return nullptr;
    // Connecting is local and quick; the compositor's answers are waited for on the thread.
    connection->m_display = wl_display_connect(nullptr);
    if (!connection->m_display)
        return nullptr;
    auto promise = std::make_shared<QPromise<bool>>();
    promise->start();
    connection->m_ready = promise->future();
    connection->m_setUpDone = [promise](bool ok) {
        promise->addResult(ok);
        promise->finish();
    };
    connection->m_thread = std::thread([raw = connection.get()] { raw->run(); });
    return connection;
}

DataControlConnection::~DataControlConnection()
{
    if (m_thread.joinable()) {
        m_stopping = true;
        post([this] { m_quit = true; });
        m_thread.join();
    } else {
        shutDown();
    }
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool DataControlConnection::setUp()
{
    static const wl_registry_listener registryListener { &onGlobal, &onGlobalRemove };
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &registryListener, this);
    const Clock::time_point deadline = Clock::now() + setUpTimeout;
    if (!roundtrip(deadline) || !m_seat || !m_manager)
        return false;

    static const zwlr_data_control_device_v1_listener deviceListener { &onDataOffer, &onSelection, &onFinished,
        &onPrimarySelection };
    m_device = zwlr_data_control_manager_v1_get_data_device(m_manager, m_seat);
    zwlr_data_control_device_v1_add_listener(m_device, &deviceListener, this);
    // The device's first selection event tells what the clipboard holds now.
    if (!roundtrip(deadline) || !usable())
        return false;
    m_started = true;
    return true;
}

bool DataControlConnection::roundtrip(Clock::time_point deadline)
{
    bool done = false;
    static const wl_callback_listener callbackListener { [](void* data, wl_callback*, uint32_t) {
        *static_cast<bool*>(data) = true;
    } };
    wl_callback* callback = wl_display_sync(m_display);
    wl_callback_add_listener(callback, &callbackListener, &done);
    bool ok = true;
    while (ok && !done) {
        while (ok && wl_display_prepare_read(m_display) != 0)
            ok = wl_display_dispatch_pending(m_display) >= 0;
        if (!ok || done) {
            if (ok)
                wl_display_cancel_read(m_display);
            break;
        }
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(m_display);
            ok = false;
            break;
        }
        // The wake-up descriptor is watched too, so that a destructor need not wait for a slow compositor;
        // the jobs it announces stay queued for the loop.
        pollfd fds[2] = { { wl_display_get_fd(m_display), POLLIN, 0 }, { m_wakeFd, POLLIN, 0 } };
        const int timeout = millisecondsUntil(deadline);
        if (timeout == 0 || poll(fds, 2, timeout) <= 0 || m_stopping) {
            wl_display_cancel_read(m_display);
            ok = false; // the compositor did not answer in time
            break;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
        if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
            wl_display_cancel_read(m_display);
            continue;
        }
        ok = wl_display_read_events(m_display) >= 0 && wl_display_dispatch_pending(m_display) >= 0;
    }
    wl_callback_destroy(callback);
    if (!ok)
        m_broken = true;
    return ok;
}

void DataControlConnection::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

void DataControlConnection::runQueuedJobs()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
    std::deque<std::function<void()>> jobs;
    {
        std::lock_guard lock(m_mutex);
        jobs.swap(m_jobs);
    }
    for (auto& job : jobs)
        job();
}

bool DataControlConnection::usable() const { return m_display && !m_broken && m_device; }

void DataControlConnection::run()
{
    pthread_setname_np(pthread_self(), "DataControl");
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    if (!setUp())
        m_broken = true; // every request comes back with nothing
    m_setUpDone(!m_broken);
    while (!m_quit) {
        runQueuedJobs();
        if (!m_quit)
            pollOnce();
    }
    shutDown();
}

void DataControlConnection::pollOnce()
{
    bool readingDisplay = false;
    bool flushPending = false;
    if (m_display && !m_broken) {
        while (!m_broken && wl_display_prepare_read(m_display) != 0)
            m_broken = wl_display_dispatch_pending(m_display) < 0;
        if (!m_broken) {
            readingDisplay = true;
            if (wl_display_flush(m_display) < 0) {
                flushPending = errno == EAGAIN;
                if (!flushPending) {
                    wl_display_cancel_read(m_display);
                    readingDisplay = false;
                    m_broken = true;
                }
            }
        }
    }

    std::vector<pollfd> fds;
    fds.push_back({ m_wakeFd, POLLIN, 0 });
    if (readingDisplay)
        fds.push_back({ wl_display_get_fd(m_display), short(POLLIN | (flushPending ? POLLOUT : 0)), 0 });
    const size_t firstTransfer = fds.size();
    std::optional<Clock::time_point> nextDeadline;
    auto earliest = [&](Clock::time_point t) { nextDeadline = nextDeadline ? std::min(*nextDeadline, t) : t; };
    for (const auto& reading : m_readings) {
        fds.push_back({ reading->fd, POLLIN, 0 });
        earliest(reading->deadline);
    }
    for (const auto& sending : m_sendings) {
        fds.push_back({ sending->fd, POLLOUT, 0 });
        earliest(sending->deadline);
    }
    for (const auto& confirmation : m_confirmations)
        earliest(confirmation->deadline);
    const int timeout = nextDeadline ? millisecondsUntil(*nextDeadline) : -1;
    const int ready = poll(fds.data(), nfds_t(fds.size()), timeout);

    std::vector<short> readingEvents(m_readings.size());
    std::vector<short> sendingEvents(m_sendings.size());
    for (size_t i = 0; ready > 0 && i < readingEvents.size(); ++i)
        readingEvents[i] = fds[firstTransfer + i].revents;
    for (size_t i = 0; ready > 0 && i < sendingEvents.size(); ++i)
        sendingEvents[i] = fds[firstTransfer + readingEvents.size() + i].revents;
    // The transfers go first: the display's events may add new ones, which this poll did not watch.
    finishTransfers(readingEvents, sendingEvents);

    if (readingDisplay) {
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)))
            m_broken = wl_display_read_events(m_display) < 0;
        else
            wl_display_cancel_read(m_display);
        if (!m_broken)
            m_broken = wl_display_dispatch_pending(m_display) < 0;
    }
}

void DataControlConnection::finishTransfers(
    const std::vector<short>& readingEvents, const std::vector<short>& sendingEvents)
{
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<std::function<void(std::optional<QByteArray>)>, std::optional<QByteArray>>> finished;
    std::vector<std::unique_ptr<Reading>> kept;
    for (size_t i = 0; i < m_readings.size(); ++i) {
        std::unique_ptr<Reading>& r = m_readings[i];
        enum { Pending, Done, Failed } outcome = Pending;
        if (i < readingEvents.size() && readingEvents[i] != 0) {
            for (int chunk = 0; chunk < chunksPerWake && outcome == Pending; ++chunk) {
                char buffer[chunkBytes];
                const ssize_t got = ::read(r->fd, buffer, sizeof buffer);
                if (got > 0 && r->data.size() + got > r->limit)
                    outcome = Failed; // larger than we keep: the rest is not read
                else if (got > 0)
                    r->data.append(buffer, got);
                else if (got == 0)
                    outcome = Done;
                else if (errno == EAGAIN)
                    break;
                else if (errno != EINTR)
                    outcome = Failed;
            }
        }
        if (outcome == Pending && now >= r->deadline)
            outcome = Failed; // the owner did not write it all in time
        if (outcome == Pending)
            kept.push_back(std::move(r));
        else if (outcome == Done)
            finished.emplace_back(std::move(r->done), std::move(r->data));
        else
            finished.emplace_back(std::move(r->done), std::nullopt);
    }
    m_readings = std::move(kept); // the pipes of the others are closed here

    bool brokenPipe = false;
    std::erase_if(m_sendings, [&, i = size_t(0)](const std::unique_ptr<Sending>& s) mutable {
        const short events = i < sendingEvents.size() ? sendingEvents[i] : 0;
        ++i;
        if (events & POLLOUT) {
            for (int chunk = 0; chunk < chunksPerWake && s->written < s->data.size(); ++chunk) {
                const ssize_t put = ::write(
                    s->fd, s->data.constData() + s->written, size_t(std::min(chunkBytes, s->data.size() - s->written)));
                if (put > 0)
                    s->written += put;
                else if (errno == EAGAIN)
                    break;
                else if (errno != EINTR) {
                    brokenPipe = brokenPipe || errno == EPIPE;
                    return true; // the reader went away
                }
            }
            if (s->written == s->data.size())
                return true; // all written: closing the pipe ends the reader's transfer
        } else if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            return true;
        }
        return now >= s->deadline; // a reader that stopped reading is dropped
    });
    if (brokenPipe)
        discardPendingSigpipe();

    std::vector<std::function<void(bool)>> unconfirmed;
    std::erase_if(m_confirmations, [&](std::unique_ptr<Confirmation>& c) {
        if (now < c->deadline)
            return false;
        unconfirmed.push_back(std::move(c->done)); // no reply in time: the reading is not trusted
        return true;
    });

    // Last, as a callback may start the next transfer.
    for (auto& [done, data] : finished)
        done(std::move(data));
    for (auto& done : unconfirmed)
        done(false);
}

void DataControlConnection::shutDown()
{
    // Every request is answered, with nothing now.
    std::vector<std::unique_ptr<Reading>> readings;
    readings.swap(m_readings);
    for (auto& reading : readings)
        reading->done(std::nullopt);
    readings.clear();
    m_sendings.clear();
    std::vector<std::unique_ptr<Confirmation>> confirmations;
    confirmations.swap(m_confirmations);
    for (auto& confirmation : confirmations)
        confirmation->done(false);
    confirmations.clear(); // while the display, which their callbacks belong to, is still there
    if (m_display) {
        m_sources.clear();
        m_introduced.clear();
        m_selection.reset();
        m_primary.reset();
        m_userToplevel = nullptr;
        m_toplevels.clear();
        if (m_toplevelManager)
            zwlr_foreign_toplevel_manager_v1_destroy(m_toplevelManager);
        if (m_device)
            zwlr_data_control_device_v1_destroy(m_device);
        if (m_manager)
            zwlr_data_control_manager_v1_destroy(m_manager);
        if (m_seat)
            wl_seat_destroy(m_seat);
        if (m_registry)
            wl_registry_destroy(m_registry);
        wl_display_flush(m_display);
        wl_display_disconnect(m_display);
    }
    m_device = nullptr;
    m_manager = nullptr;
    m_toplevelManager = nullptr;
    m_seat = nullptr;
    m_registry = nullptr;
    m_display = nullptr;
}

void DataControlConnection::readText(std::function<void(std::optional<QString>)> done)
{
    post([this, done = std::move(done)]() mutable {
        // From when the connection can ask: a request made while it is setting up waits for that first.
        const Clock::time_point deadline = Clock::now() + m_limits.readTimeout;
        if (!usable() || !m_selection) {
            done(std::nullopt);
            return;
        }
        receiveText(m_selection.get(), m_generation, deadline, std::move(done));
    });
}

void DataControlConnection::readPrimaryText(
    std::optional<Clock::time_point> since, std::function<void(std::optional<QString>)> done)
{
    post([this, since, done = std::move(done)]() mutable {
        const Clock::time_point deadline = Clock::now() + m_limits.readTimeout;
        // Listed windows give the order exactly; otherwise the caller's clock reading of the activation, which
        // may come late, has to do.
        const bool madeInTheUsersWindow = m_toplevelManager
            ? m_activationOrder > 0 && m_primaryOrder > m_activationOrder
            : since && m_primarySetAt && *m_primarySetAt >= *since;
        if (!usable() || !m_primary || !madeInTheUsersWindow) {
            done(std::nullopt);
            return;
        }
        receiveText(m_primary.get(), m_primaryGeneration, deadline, std::move(done));
    });
}

void DataControlConnection::receiveText(Offer* offer, const quint64& generation, Clock::time_point deadline,
    std::function<void(std::optional<QString>)> done)
{
    for (const char* type : textTypes) {
        if (offer->mimeTypes.contains(type)) {
            receive(offer->proxy, type, m_limits.maximumTextBytes, deadline,
                [this, &generation, then = generation, deadline, done](std::optional<QByteArray> bytes) {
                    // Empty is no text; and a transfer that an owner replaced meanwhile ends empty, which a
                    // compositor that has not yet taken in the replacement (wlroots) would confirm.
                    if (!bytes || bytes->isEmpty()) {
                        done(std::nullopt);
                        return;
                    }
                    confirmUnchanged(generation, then, deadline, [done, text = QString::fromUtf8(*bytes)](bool same) {
                        done(same ? std::optional(text) : std::nullopt);
                    });
                });
            return;
        }
    }
    done(std::nullopt);
}

void DataControlConnection::readAll(std::function<void(std::optional<Formats>)> done)
{
    post([this, done = std::move(done)]() mutable {
        // From when the connection can ask: a request made while it is setting up waits for that first.
        const Clock::time_point deadline = Clock::now() + m_limits.readTimeout;
        if (!usable()) {
            done(std::nullopt);
            return;
        }
        if (!m_selection) {
            done(Formats {});
            return;
        }
        auto job = std::make_shared<SnapshotJob>();
        job->generation = m_generation;
        job->mimeTypes = m_selection->mimeTypes;
        job->deadline = deadline;
        job->done = std::move(done);
        continueSnapshot(job);
    });
}

void DataControlConnection::continueSnapshot(const std::shared_ptr<SnapshotJob>& job)
{
    // Formats of two different clipboards must not make one snapshot.
    if (job->generation != m_generation || !m_selection || !usable()) {
        job->done(std::nullopt);
        return;
    }
    if (job->next == job->mimeTypes.size()) {
        confirmUnchanged(m_generation, job->generation, job->deadline,
            [job](bool same) { job->done(same ? std::optional(std::move(job->formats)) : std::nullopt); });
        return;
    }
    const QByteArray mimeType = job->mimeTypes[job->next++];
    receive(m_selection->proxy, mimeType, m_limits.maximumSnapshotBytes - job->total, job->deadline,
        [this, job, mimeType](std::optional<QByteArray> bytes) {
            if (!bytes) {
                job->done(std::nullopt);
                return;
            }
            job->total += bytes->size();
            job->formats.append({ QString::fromUtf8(mimeType), std::move(*bytes) });
            continueSnapshot(job);
        });
}

void DataControlConnection::receive(zwlr_data_control_offer_v1* offer, const QByteArray& mimeType, qsizetype limit,
    Clock::time_point deadline, std::function<void(std::optional<QByteArray>)> done)
{
    int ends[2];
    // Only our end is non-blocking: the owner gets the blocking pipe it expects.
    if (pipe2(ends, O_CLOEXEC) != 0) {
        done(std::nullopt);
        return;
    }
    if (!setNonBlocking(ends[0])) {
        ::close(ends[0]);
        ::close(ends[1]);
        done(std::nullopt);
        return;
    }
    // libwayland sends a duplicate of the descriptor, so our copy of the owner's end is closed at once:
    // the read then ends when the owner closes its own.
    zwlr_data_control_offer_v1_receive(offer, mimeType.constData(), ends[1]);
    ::close(ends[1]);
    auto reading = std::make_unique<Reading>();
    reading->fd = ends[0];
    reading->limit = limit;
    reading->deadline = deadline;
    reading->done = std::move(done);
    m_readings.push_back(std::move(reading));
}

void DataControlConnection::setSelection(Formats formats)
{
    post([this, formats = std::move(formats)]() mutable {
        if (!usable())
            return;
        if (formats.isEmpty()) {
            zwlr_data_control_device_v1_set_selection(m_device, nullptr);
            return;
        }
        static const zwlr_data_control_source_v1_listener sourceListener { &onSend, &onCancelled };
        auto source = std::make_unique<Source>();
        source->connection = this;
        source->proxy = zwlr_data_control_manager_v1_create_data_source(m_manager);
        source->formats = std::move(formats);
        zwlr_data_control_source_v1_add_listener(source->proxy, &sourceListener, source.get());
        QList<QByteArray> offered;
        for (const auto& format : std::as_const(source->formats)) {
            const QByteArray name = format.first.toUtf8();
            if (name.isEmpty() || offered.contains(name))
                continue;
            zwlr_data_control_source_v1_offer(source->proxy, name.constData());
            offered.append(name);
        }
        zwlr_data_control_device_v1_set_selection(m_device, source->proxy);
        // The compositor cancels the older ones; should it not, they are not kept forever.
        if (m_sources.size() >= 4)
            m_sources.erase(m_sources.begin());
        m_sources.push_back(std::move(source));
    });
}

void DataControlConnection::confirmUnchanged(
    const quint64& current, quint64 generation, Clock::time_point deadline, std::function<void(bool)> done)
{
    static const wl_callback_listener confirmationListener { &onConfirmed };
    auto confirmation = std::make_unique<Confirmation>();
    confirmation->connection = this;
    confirmation->callback = wl_display_sync(m_display);
    confirmation->current = &current;
    confirmation->generation = generation;
    confirmation->deadline = deadline;
    confirmation->done = std::move(done);
    wl_callback_add_listener(confirmation->callback, &confirmationListener, confirmation.get());
    m_confirmations.push_back(std::move(confirmation));
}

void DataControlConnection::onConfirmed(void* data, wl_callback*, uint32_t)
{
    auto* confirmation = static_cast<Confirmation*>(data);
    DataControlConnection* self = confirmation->connection;
    const bool same = confirmation->generation == *confirmation->current && self->usable();
    std::function<void(bool)> done = std::move(confirmation->done);
    std::erase_if(self->m_confirmations, [confirmation](const auto& c) { return c.get() == confirmation; });
    done(same);
}

void DataControlConnection::serve(Source* source, const char* mimeType, int fd)
{
    const auto format = std::find_if(source->formats.cbegin(), source->formats.cend(),
        [mimeType](const QPair<QString, QByteArray>& f) { return f.first.toUtf8() == mimeType; });
    if (format == source->formats.cend() || format->second.isEmpty() || m_sendings.size() >= maximumSends
        || !setNonBlocking(fd)) {
        ::close(fd); // nothing to give, or too many readers at once: the reader sees an empty transfer
        return;
    }
    auto sending = std::make_unique<Sending>();
    sending->fd = fd;
    sending->data = format->second;
    sending->deadline = Clock::now() + m_limits.sendTimeout;
    m_sendings.push_back(std::move(sending));
}

void DataControlConnection::onGlobal(
    void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    auto* self = static_cast<DataControlConnection*>(data);
    if (!self->m_seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        self->m_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (!self->m_manager && std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        self->m_manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, std::min(version, 2u)));
    } else if (!self->m_toplevelManager
        && std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0) {
        static const zwlr_foreign_toplevel_manager_v1_listener managerListener { &onToplevel, &onToplevelsFinished };
        self->m_toplevelManager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
        zwlr_foreign_toplevel_manager_v1_add_listener(self->m_toplevelManager, &managerListener, self);
    }
}

void DataControlConnection::onToplevel(
    void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* proxy)
{
    // The title, the outputs and the parent do not matter here.
    const auto ignoreTitle = [](void*, zwlr_foreign_toplevel_handle_v1*, const char*) {};
    const auto ignoreOutput = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {};
    const auto ignoreParent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {};
    static const zwlr_foreign_toplevel_handle_v1_listener toplevelListener { ignoreTitle, &onToplevelAppId,
        ignoreOutput, ignoreOutput, &onToplevelState, &onToplevelDone, &onToplevelClosed, ignoreParent };
    auto* self = static_cast<DataControlConnection*>(data);
    if (self->m_toplevels.size() >= maximumToplevels) {
        zwlr_foreign_toplevel_handle_v1_destroy(proxy);
        return;
    }
    auto& toplevel = self->m_toplevels.emplace_back(std::make_unique<Toplevel>());
    toplevel->connection = self;
    toplevel->proxy = proxy;
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &toplevelListener, toplevel.get());
}

void DataControlConnection::onToplevelsFinished(void* data, zwlr_foreign_toplevel_manager_v1* manager)
{
    // The compositor stops listing windows: from now on the caller's clock readings of activations decide.
    auto* self = static_cast<DataControlConnection*>(data);
    self->m_userToplevel = nullptr;
    self->m_toplevels.clear();
    zwlr_foreign_toplevel_manager_v1_destroy(manager);
    self->m_toplevelManager = nullptr;
}

void DataControlConnection::onToplevelAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId)
{
    static_cast<Toplevel*>(data)->appId = QByteArray(appId).left(maximumAppIdLength);
}

void DataControlConnection::onToplevelState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states)
{
    auto* toplevel = static_cast<Toplevel*>(data);
    const auto* first = static_cast<const uint32_t*>(states->data);
    const auto* last = first + states->size / sizeof(uint32_t);
    toplevel->activatedNext = std::find(first, last, uint32_t(ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED)) != last;
}

void DataControlConnection::onToplevelDone(void* data, zwlr_foreign_toplevel_handle_v1*)
{
    // A window's changes take effect together, its application id among them.
    auto* toplevel = static_cast<Toplevel*>(data);
    DataControlConnection* self = toplevel->connection;
    const bool becameActive = toplevel->activatedNext && !toplevel->activated;
    toplevel->activated = toplevel->activatedNext;
    // Only the active window's client can set the primary selection: one announced before the user went to the
    // window they are in now was made elsewhere. Our own windows (the card) leave the user in the window they were
    // in, and going back to it from them is no change of window.
    const bool ours = !self->m_ownAppId.isEmpty() && toplevel->appId == self->m_ownAppId;
    if (becameActive && !ours && self->m_userToplevel != toplevel) {
        self->m_userToplevel = toplevel;
        self->m_activationOrder = ++self->m_eventOrder;
    }
}

void DataControlConnection::onToplevelClosed(void* data, zwlr_foreign_toplevel_handle_v1*)
{
    auto* toplevel = static_cast<Toplevel*>(data);
    DataControlConnection* self = toplevel->connection;
    if (self->m_userToplevel == toplevel)
        self->m_userToplevel = nullptr; // the order of its activation stays
    std::erase_if(self->m_toplevels, [toplevel](const auto& t) { return t.get() == toplevel; });
}

void DataControlConnection::onGlobalRemove(void*, wl_registry*, uint32_t) { }

void DataControlConnection::onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    static const zwlr_data_control_offer_v1_listener offerListener { &onOfferMimeType };
    auto* self = static_cast<DataControlConnection*>(data);
    auto& introduced = self->m_introduced.emplace_back(std::make_unique<Offer>(offer));
    zwlr_data_control_offer_v1_add_listener(offer, &offerListener, introduced.get());
}

void DataControlConnection::onOfferMimeType(void* data, zwlr_data_control_offer_v1*, const char* mimeType)
{
    auto* offer = static_cast<Offer*>(data);
    const QByteArray name(mimeType);
    if (offer->mimeTypes.size() < maximumMimeTypes && !name.isEmpty() && name.size() <= maximumMimeTypeLength
        && !offer->mimeTypes.contains(name))
        offer->mimeTypes.append(name);
}

namespace {

// Takes the named offer out of the introduced ones and drops the rest: each selection event follows the
// introduction of its own offer, so those still waiting then are stale.
template <typename Offers, typename Proxy> auto takeIntroduced(Offers& introduced, Proxy* proxy)
{
    typename Offers::value_type named;
    for (auto& offer : introduced) {
        if (proxy && offer->proxy == proxy)
            named = std::move(offer);
    }
    introduced.clear();
    return named;
}

} // namespace

void DataControlConnection::onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* self = static_cast<DataControlConnection*>(data);
    self->m_selection = takeIntroduced(self->m_introduced, offer);
    ++self->m_generation;
    if (self->m_started && self->m_selectionChanged)
        self->m_selectionChanged();
}

void DataControlConnection::onPrimarySelection(
    void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* self = static_cast<DataControlConnection*>(data);
    self->m_primary = takeIntroduced(self->m_introduced, offer);
    ++self->m_primaryGeneration;
    // Its time is taken as it arrives, on the same clock as the windows' activations, and its place among the
    // activations this connection hears of.
    self->m_primarySetAt = self->m_started && self->m_primary ? std::optional(Clock::now()) : std::nullopt;
    self->m_primaryOrder = self->m_primarySetAt ? ++self->m_eventOrder : 0;
}

void DataControlConnection::onFinished(void* data, zwlr_data_control_device_v1* device)
{
    auto* self = static_cast<DataControlConnection*>(data);
    self->m_selection.reset();
    self->m_primary.reset();
    self->m_introduced.clear();
    zwlr_data_control_device_v1_destroy(device);
    self->m_device = nullptr;
}

void DataControlConnection::onSend(void* data, zwlr_data_control_source_v1*, const char* mimeType, int32_t fd)
{
    auto* source = static_cast<Source*>(data);
    source->connection->serve(source, mimeType, fd);
}

void DataControlConnection::onCancelled(void* data, zwlr_data_control_source_v1*)
{
    auto* source = static_cast<Source*>(data);
    std::erase_if(source->connection->m_sources, [source](const auto& s) { return s.get() == source; });
}
