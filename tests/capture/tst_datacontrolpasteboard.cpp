// The Wayland clipboard through data-control, against a real compositor: a headless kwin named by
// WAYLAND_DISPLAY, with QUILLORA_TEST_WAYLAND=1 (skipped otherwise). The other applications are a second
// pasteboard, which is another Wayland client, and a bare data-control owner made here that can answer
// with any bytes or never answer at all.
#include "platform/wayland/datacontrolpasteboard.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <QCoroTask>
#include <QGuiApplication>
#include <QRasterWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using Formats = QList<QPair<QString, QByteArray>>;

Formats sorted(Formats formats)
{
    std::sort(formats.begin(), formats.end());
    return formats;
}

// Another application owning the clipboard (or the primary selection) with one mime type, on a connection and
// a thread of its own. Each reader gets answer written in full, or, without one, a pipe that stays open and
// silent. One that copies again as it is first read sets a new selection (same type and answer) and closes
// that reader's pipe empty.
class BareOwner {
public:
    enum class Selection { Clipboard, Primary };

    BareOwner(const QByteArray& mimeType, std::optional<QByteArray> answer, bool copiesAgainWhenRead = false,
        Selection selection = Selection::Clipboard)
        : m_mimeType(mimeType)
        , m_answer(std::move(answer))
        , m_copyAgain(copiesAgainWhenRead)
        , m_primary(selection == Selection::Primary)
    {
        m_display = wl_display_connect(nullptr);
        if (!m_display)
            return;
        static const wl_registry_listener registryListener {
            [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
                auto* self = static_cast<BareOwner*>(data);
                if (!self->m_seat && std::strcmp(interface, wl_seat_interface.name) == 0)
                    self->m_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
                if (!self->m_manager && std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
                    self->m_manager = static_cast<zwlr_data_control_manager_v1*>(
                        wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 2));
            },
            [](void*, wl_registry*, uint32_t) {},
        };
        m_registry = wl_display_get_registry(m_display);
        wl_registry_add_listener(m_registry, &registryListener, this);
        wl_display_roundtrip(m_display);
        if (!m_seat || !m_manager)
            return;
        m_device = zwlr_data_control_manager_v1_get_data_device(m_manager, m_seat);
        // The offers the compositor makes this connection are kept, to be let go at the end.
        static const zwlr_data_control_device_v1_listener deviceListener {
            [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
                static_cast<BareOwner*>(data)->m_offers.push_back(offer);
            },
            [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
            [](void*, zwlr_data_control_device_v1*) {},
            [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
        };
        zwlr_data_control_device_v1_add_listener(m_device, &deviceListener, this);
        copy();
        wl_display_roundtrip(m_display);
        m_stop = eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { serve(); });
    }

    ~BareOwner()
    {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(m_stop, &one, sizeof one);
            m_thread.join();
            ::close(m_stop);
        }
        for (int fd : m_silent)
            ::close(fd);
        for (zwlr_data_control_source_v1* source : m_sources)
            zwlr_data_control_source_v1_destroy(source);
        for (zwlr_data_control_offer_v1* offer : m_offers)
            zwlr_data_control_offer_v1_destroy(offer);
        if (m_device)
            zwlr_data_control_device_v1_destroy(m_device);
        if (m_manager)
            zwlr_data_control_manager_v1_destroy(m_manager);
        if (m_seat)
            wl_seat_destroy(m_seat);
        if (m_registry)
            wl_registry_destroy(m_registry);
        if (m_display)
            wl_display_disconnect(m_display);
    }

    bool owns() const { return m_thread.joinable(); }

private:
    void copy()
    {
        static const zwlr_data_control_source_v1_listener sourceListener {
            [](void* data, zwlr_data_control_source_v1*, const char*, int32_t fd) {
                auto* self = static_cast<BareOwner*>(data);
                if (self->m_copyAgain) {
                    self->m_copyAgain = false;
                    self->copy();
                    wl_display_flush(self->m_display); // the new selection is on its way before the pipe closes
                    ::close(fd);
                    return;
                }
                if (!self->m_answer) {
                    self->m_silent.push_back(fd);
                    return;
                }
                for (qsizetype at = 0; at < self->m_answer->size();) {
                    const ssize_t put
                        = ::write(fd, self->m_answer->constData() + at, size_t(self->m_answer->size() - at));
                    if (put <= 0)
                        break; // the reader stopped reading
                    at += put;
                }
                ::close(fd);
            },
            [](void*, zwlr_data_control_source_v1*) {},
        };
        zwlr_data_control_source_v1* source
            = m_sources.emplace_back(zwlr_data_control_manager_v1_create_data_source(m_manager));
        zwlr_data_control_source_v1_add_listener(source, &sourceListener, this);
        zwlr_data_control_source_v1_offer(source, m_mimeType.constData());
        if (m_primary)
            zwlr_data_control_device_v1_set_primary_selection(m_device, source);
        else
            zwlr_data_control_device_v1_set_selection(m_device, source);
    }

    void serve()
    {
        // A reader that closes early must not end the test.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (;;) {
            while (wl_display_prepare_read(m_display) != 0)
                wl_display_dispatch_pending(m_display);
            wl_display_flush(m_display);
            pollfd fds[2] = { { wl_display_get_fd(m_display), POLLIN, 0 }, { m_stop, POLLIN, 0 } };
            poll(fds, 2, -1);
            if (fds[0].revents & POLLIN)
                wl_display_read_events(m_display);
            else
                wl_display_cancel_read(m_display);
            if (fds[1].revents & POLLIN || wl_display_dispatch_pending(m_display) < 0)
                return;
        }
    }

    QByteArray m_mimeType;
    std::optional<QByteArray> m_answer;
    bool m_copyAgain = false;
    bool m_primary = false;
    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    zwlr_data_control_manager_v1* m_manager = nullptr;
    zwlr_data_control_device_v1* m_device = nullptr;
    std::vector<zwlr_data_control_source_v1*> m_sources;
    std::vector<zwlr_data_control_offer_v1*> m_offers;
    std::vector<int> m_silent;
    int m_stop = -1;
    std::thread m_thread;
};

template <typename T> T await(QCoro::Task<T> task) { return QCoro::waitFor(std::move(task)); }

// Waits until the pasteboard has seen a change of the clipboard after count.
bool changedSince(const Pasteboard& pasteboard, quint64 count)
{
    return QTest::qWaitFor([&] { return pasteboard.changeCount() > count; }, 5000);
}

// Waits until the pasteboard sees the clipboard empty, as an earlier owner's going empties it: after
// that, the next change it counts is the next owner's, not a late one of before.
bool settledEmpty(Pasteboard& pasteboard)
{
    return QTest::qWaitFor(
        [&] {
            const std::optional<PasteboardSnapshot> now = await(pasteboard.snapshot());
            return now && now->isEmpty();
        },
        5000);
}

} // namespace

class TestDataControlPasteboard : public QObject {
    Q_OBJECT

    std::unique_ptr<DataControlPasteboard> m_pasteboard;

    // Another application takes the clipboard with one mime type; false when it could not.
    bool ownElsewhere(std::unique_ptr<BareOwner>& owner, const QByteArray& mimeType, std::optional<QByteArray> answer,
        bool copiesAgainWhenRead = false)
    {
        const quint64 count = m_pasteboard->changeCount();
        owner = std::make_unique<BareOwner>(mimeType, std::move(answer), copiesAgainWhenRead);
        return owner->owns() && changedSince(*m_pasteboard, count);
    }

private slots:
    // Only a throw-away compositor: the cases empty and replace the clipboard, which in a developer's own
    // session is the user's.
    void init()
    {
        if (qstrcmp(QTest::currentTestFunction(), "absentWithoutCompositor") == 0)
            return;
        if (qEnvironmentVariableIntValue("QUILLORA_TEST_WAYLAND") == 1 && !m_pasteboard)
            m_pasteboard = DataControlPasteboard::create();
        if (!m_pasteboard)
            QSKIP("no test compositor with data-control (QUILLORA_TEST_WAYLAND=1 and WAYLAND_DISPLAY)");
    }

    void absentWithoutCompositor()
    {
        const QByteArray display = qgetenv("WAYLAND_DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        QVERIFY(!makeDataControlPasteboard());
        qputenv("WAYLAND_DISPLAY", "quillora-no-such-display");
        QVERIFY(!makeDataControlPasteboard());
        if (!display.isEmpty())
            qputenv("WAYLAND_DISPLAY", display);
    }

    void everyFormatRoundTrips()
    {
        auto other = DataControlPasteboard::create();
        QVERIFY(other);
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary.append(char(i));
        const QString text = QStringLiteral("Grüße, 世界 ✓\n\ttab");
        const Formats formats { { "text/plain;charset=utf-8", text.toUtf8() }, { "text/html", "<b>Grüße</b>" },
            { "x-kde-passwordManagerHint", "secret" }, { "application/x-quillora-bytes", binary },
            { "application/x-empty", {} } };

        // Another application copies: the change is seen, and every format read byte for byte.
        QSignalSpy changed(m_pasteboard.get(), &Pasteboard::changed);
        quint64 count = m_pasteboard->changeCount();
        other->restore(PasteboardSnapshot { formats });
        QVERIFY(changedSince(*m_pasteboard, count));
        QVERIFY(!changed.isEmpty());
        QCOMPARE(await(m_pasteboard->text()).value_or("<none>"), text);
        const std::optional<PasteboardSnapshot> snapshot = await(m_pasteboard->snapshot());
        QVERIFY(snapshot);
        QCOMPARE(sorted(snapshot->formats), sorted(formats));
        // Reads made at once each get their own answer.
        QCoro::Task<std::optional<PasteboardSnapshot>> both = m_pasteboard->snapshot();
        QCoro::Task<std::optional<QString>> alongside = m_pasteboard->text();
        QCOMPARE(await(std::move(alongside)).value_or("<none>"), text);
        const std::optional<PasteboardSnapshot> again = await(std::move(both));
        QVERIFY(again);
        QCOMPARE(sorted(again->formats), sorted(formats));

        // A pasteboard that is still setting up answers once it is ready.
        auto early = DataControlPasteboard::start({});
        QVERIFY(early);
        QCOMPARE(await(early->text()).value_or("<none>"), text);
        QVERIFY(await(early->available()));

        // An empty snapshot empties the clipboard.
        count = m_pasteboard->changeCount();
        m_pasteboard->restore({});
        QVERIFY(changedSince(*m_pasteboard, count));
        QVERIFY(QTest::qWaitFor([&] {
            const auto seen = await(other->snapshot());
            return seen && seen->isEmpty();
        }));
        QVERIFY(!await(other->text()));

        // Restored, the clipboard gives another application the same bytes, as often as it asks.
        QSignalSpy otherChanged(other.get(), &Pasteboard::changed);
        m_pasteboard->restore(*snapshot);
        QVERIFY(otherChanged.wait(5000));
        const std::optional<PasteboardSnapshot> back = await(other->snapshot());
        QVERIFY(back);
        QCOMPARE(sorted(back->formats), sorted(formats));
        QCOMPARE(await(other->text()).value_or("<none>"), text);
        QCOMPARE(await(other->text()).value_or("<none>"), text);
        // Reading the clipboard it serves itself does not wait on itself.
        const std::optional<PasteboardSnapshot> own = await(m_pasteboard->snapshot());
        QVERIFY(own);
        QCOMPARE(sorted(own->formats), sorted(formats));

        // Once another application copies, the restored clipboard is no longer served.
        std::unique_ptr<BareOwner> owner;
        QVERIFY(ownElsewhere(owner, "text/plain", QByteArray("next")));
        QVERIFY(QTest::qWaitFor([&] { return await(other->text()) == QStringLiteral("next"); }, 5000));
    }

    void ownersThatDoNotAnswerGiveNothing()
    {
        QVERIFY(settledEmpty(*m_pasteboard));
        std::unique_ptr<BareOwner> silent;
        QVERIFY(ownElsewhere(silent, "text/plain;charset=utf-8", std::nullopt));
        // The main thread goes on while the owner keeps the reads waiting.
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(5);
        QVERIFY(!await(m_pasteboard->text()));
        QVERIFY(ticks > 0);
        QVERIFY(!await(m_pasteboard->snapshot()));

        // A transfer cut short by a new copy ends empty, and that is not taken for the clipboard's text.
        std::unique_ptr<BareOwner> copier;
        QVERIFY(ownElsewhere(copier, "UTF8_STRING", QByteArray("copied again"), true));
        QVERIFY(!await(m_pasteboard->text()));
        QVERIFY(QTest::qWaitFor([&] { return await(m_pasteboard->text()) == QStringLiteral("copied again"); }, 5000));
    }

    void largerThanTheBoundIsRefused()
    {
        DataControlPasteboard::Limits limits;
        limits.readTimeout = std::chrono::seconds(5);
        limits.maximumTextBytes = 100'000;
        limits.maximumSnapshotBytes = 300'000;
        auto bounded = DataControlPasteboard::create(limits);
        QVERIFY(bounded);
        QVERIFY(settledEmpty(*bounded));

        // Text up to the bound is read; one byte more is not. The owners stay until the end, so that each
        // step brings one change only.
        std::vector<std::unique_ptr<BareOwner>> owners;
        for (const qsizetype size : { limits.maximumTextBytes, limits.maximumTextBytes + 1 }) {
            const quint64 count = bounded->changeCount();
            QVERIFY(ownElsewhere(owners.emplace_back(), "text/plain", QByteArray(size, 'x')));
            QVERIFY(changedSince(*bounded, count));
            const std::optional<QString> read = await(bounded->text());
            QCOMPARE(read.value_or("<none>").size(), size <= limits.maximumTextBytes ? size : 6);
        }
        // The snapshot's bound is on all formats together.
        auto other = DataControlPasteboard::create();
        QVERIFY(other);
        for (const qsizetype second : { qsizetype(150'000), qsizetype(150'001) }) {
            const quint64 count = bounded->changeCount();
            other->restore(PasteboardSnapshot {
                { { "text/plain", QByteArray(150'000, 'a') }, { "image/png", QByteArray(second, 'b') } } });
            QVERIFY(changedSince(*bounded, count));
            const std::optional<PasteboardSnapshot> snapshot = await(bounded->snapshot());
            QCOMPARE(snapshot.has_value(), 150'000 + second <= limits.maximumSnapshotBytes);
            if (snapshot)
                QCOMPARE(snapshot->formats.size(), 2);
        }

        // A reader that gives up at its bound closes the pipe under the writer: that harms neither the
        // serving process (a broken pipe raises no signal) nor the next reader.
        const quint64 count = bounded->changeCount();
        other->restore(PasteboardSnapshot { { { "text/plain", QByteArray(1'000'000, 'c') } } });
        QVERIFY(changedSince(*bounded, count));
        QVERIFY(!await(bounded->text()));
        QCOMPARE(await(m_pasteboard->text()).value_or("<none>").size(), 1'000'000);
    }

    // Nobody can tell who set the primary selection: it speaks for the window the user is in only when Sway
    // announced it after the user went to that window, as Sway lists windows. One set before, in another window,
    // is never taken, nor one older than the pasteboard, whose age is unknown. (The card taking the keyboard changes
    // nothing: the Sway end-to-end test asks again while it shows.)
    void primarySelectionOnlyWhenSetSinceTheWindowBecameActive()
    {
        if (qgetenv("XDG_CURRENT_DESKTOP") != "sway")
            QSKIP("only Sway's data-control has the primary selection");
        const auto primaryOwner = [](const QByteArray& answer) {
            return std::make_unique<BareOwner>(
                "text/plain;charset=utf-8", answer, false, BareOwner::Selection::Primary);
        };
        const FrontmostAppInfo app; // no activation time: Sway's own order decides
        const auto primary = [&](DataControlPasteboard& pasteboard) {
            return await(pasteboard.primarySelectionOwnedBy(app)).value_or("<none>");
        };
        // A window of another application, named so.
        const auto activeWindow = [](const QString& application) {
            QGuiApplication::setDesktopFileName(application);
            auto window = std::make_unique<QRasterWindow>(); // it draws, so Sway shows it
            window->resize(200, 100);
            window->show();
            QGuiApplication::setDesktopFileName({});
            return QTest::qWaitFor([&] { return window->isActive(); }, 5000) ? std::move(window) : nullptr;
        };

        const std::unique_ptr<BareOwner> older = primaryOwner("selected before Quillora started");
        QVERIFY(older->owns());
        DataControlPasteboard::Limits limits;
        limits.maximumTextBytes = 1000;
        auto pasteboard = DataControlPasteboard::create(limits);
        QVERIFY(pasteboard);
        QCOMPARE(primary(*pasteboard), QStringLiteral("<none>"));

        // Selected in the window the user is in, after it became active.
        const std::unique_ptr<QRasterWindow> here = activeWindow(QStringLiteral("editor"));
        QVERIFY(here);
        std::unique_ptr<BareOwner> selected = primaryOwner("selected here");
        QVERIFY(selected->owns());
        QVERIFY(QTest::qWaitFor([&] { return primary(*pasteboard) == QStringLiteral("selected here"); }, 5000));
        // Another window became active since: the selection was made before, elsewhere.
        const std::unique_ptr<QRasterWindow> there = activeWindow(QStringLiteral("browser"));
        QVERIFY(there);
        QCOMPARE(primary(*pasteboard), QStringLiteral("<none>"));

        // Bounded as the clipboard's text: one byte past it is not read.
        const QString atTheBound(limits.maximumTextBytes, u'x');
        std::unique_ptr<BareOwner> large = primaryOwner(atTheBound.toUtf8());
        QVERIFY(QTest::qWaitFor([&] { return primary(*pasteboard) == atTheBound; }, 5000));
        std::unique_ptr<BareOwner> tooLarge = primaryOwner(QByteArray(limits.maximumTextBytes + 1, 'x'));
        QVERIFY(QTest::qWaitFor([&] { return primary(*pasteboard) != atTheBound; }, 5000));
        QCOMPARE(primary(*pasteboard), QStringLiteral("<none>"));
    }

    void cleanupTestCase() { m_pasteboard.reset(); }
};

int main(int argc, char* argv[])
{
    // Without a Wayland display Qt cannot start here; 77 has ctest count the test as skipped.
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qgetenv("QT_QPA_PLATFORM").startsWith("wayland")) {
        std::fputs("tst_datacontrolpasteboard needs a Wayland display\n", stderr);
        return 77;
    }
    QGuiApplication app(argc, argv);
    TestDataControlPasteboard test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_datacontrolpasteboard.moc"
