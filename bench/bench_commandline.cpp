// What a key bound to `quillora --explain-text WORD` or `quillora --explain-selection` costs while Quillora
// runs: from the spawn of that process to its call arriving at the running instance's D-Bus entry, to the
// request on the explanation service's wire, and to the process's exit. Runs under the test desktop:
//   tests/support/with-desktop.sh build/<dir>/bench/bench_commandline [runs [program]]
// The program is the test build's `quillora` unless another one (an older build, say) is named.
#include "stubservice.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

const QString serviceName = QStringLiteral("org.quillora.Quillora");

// Wall-clock microseconds: dbus-monitor stamps the messages it sees with this clock.
qint64 wallMicroseconds()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// The bus's method calls to Quillora's interface, as dbus-monitor sees them: each one's wall-clock time.
class CallWatcher {
public:
    CallWatcher()
    {
        m_monitor.start(QStringLiteral("dbus-monitor"),
            { "--session", "--profile", "type=method_call,interface=org.quillora.Quillora" });
        // dbus-monitor prints its header once it is a monitor.
        (void)QTest::qWaitFor([this] { return m_monitor.canReadLine(); }, 5000);
    }
    ~CallWatcher()
    {
        m_monitor.kill();
        m_monitor.waitForFinished(2000);
    }
    // The time of the next call, or -1 when none came within the time.
    qint64 next(int timeoutMs = 5000)
    {
        (void)QTest::qWaitFor(
            [this] {
                read();
                return !m_times.empty();
            },
            timeoutMs);
        if (m_times.empty())
            return -1;
        const qint64 time = m_times.front();
        m_times.erase(m_times.begin());
        return time;
    }
    void forget()
    {
        read();
        m_times.clear();
    }

private:
    void read()
    {
        while (m_monitor.canReadLine()) {
            const QList<QByteArray> fields = m_monitor.readLine().split('\t');
            if (fields.value(0) == "mc")
                m_times.push_back(qint64(fields.value(1).toDouble() * 1e6));
        }
    }
    QProcess m_monitor;
    std::vector<qint64> m_times;
};

struct Series {
    std::vector<double> toCall, toWire, toExit;
};

void print(const char* what, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        std::printf("  %-34s no figures\n", what);
        return;
    }
    std::printf("  %-34s median %6.1f ms, 90th percentile %6.1f ms, worst %6.1f ms (%zu runs)\n", what,
        values[values.size() / 2], values[values.size() * 9 / 10], values.back(), values.size());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = std::max(1, QCoreApplication::arguments().value(1, QStringLiteral("20")).toInt());
    const QString program = QCoreApplication::arguments().value(2, QStringLiteral(QUILLORA_E2E_PROGRAM));

    StubService stub(StubService::Tls::None);
    QMutex lock;
    std::vector<qint64> arrivals;
    stub.setHandler([&](const StubService::Request&) {
        const qint64 time = wallMicroseconds();
        const QMutexLocker locked(&lock);
        arrivals.push_back(time);
        StubService::Reply reply;
        reply.body = StubService::explanationBody(QStringLiteral("An answer."));
        return reply;
    });
    const auto arrivalCount = [&] {
        const QMutexLocker locked(&lock);
        return arrivals.size();
    };

    // The application the user works in, with a word selected.
    QProcess pad;
    pad.start(QStringLiteral("/usr/bin/python3"), { QUILLORA_TEST_PAD, "--title", "Reading", "--select", "4", "9" });
    if (!QTest::qWaitFor([&] { return pad.canReadLine(); }, 10000)) {
        std::printf("the test pad did not start\n");
        return 1;
    }

    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("QUILLORA_TEST_SERVICE_URL", stub.url().toString());
    QProcess instance;
    instance.setProcessEnvironment(env);
    instance.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    instance.start(program, {});
    if (!QTest::qWaitFor(
            [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(serviceName).value(); },
            10000)) {
        std::printf("the instance did not take its D-Bus name\n");
        return 1;
    }
    CallWatcher calls;

    std::printf("%s, %d runs of each under the test desktop\n", qPrintable(program), runs);
    for (const QStringList& arguments :
        { QStringList { "--explain-text", "photosynthesis" }, QStringList { "--explain-selection" } }) {
        Series series;
        // The first run of each only warms the caches.
        for (int run = -1; run < runs; ++run) {
            calls.forget();
            const size_t before = arrivalCount();
            QProcess forwarder;
            forwarder.setProcessEnvironment(env);
            forwarder.setProcessChannelMode(QProcess::ForwardedChannels);
            const qint64 spawned = wallMicroseconds();
            forwarder.start(program, arguments);
            const bool ended = forwarder.waitForFinished(10000);
            const qint64 exited = wallMicroseconds();
            const qint64 called = calls.next();
            const bool sent = QTest::qWaitFor([&] { return arrivalCount() > before; }, 10000);
            if (!ended || forwarder.exitCode() != 0 || called < 0 || !sent) {
                std::printf("run %d of %s failed (exit %d, call %s, request %s)\n", run,
                    qPrintable(arguments.join(' ')), forwarder.exitCode(), called < 0 ? "missing" : "seen",
                    sent ? "sent" : "missing");
                continue;
            }
            const qint64 arrived = [&] {
                const QMutexLocker locked(&lock);
                return arrivals.at(before);
            }();
            if (run >= 0) {
                series.toCall.push_back(double(called - spawned) / 1000);
                series.toWire.push_back(double(arrived - spawned) / 1000);
                series.toExit.push_back(double(exited - spawned) / 1000);
            }
            // The entry passes one call each 300 ms once its burst is spent.
            QTest::qWait(400);
        }
        std::printf("quillora %s\n", qPrintable(arguments.join(' ')));
        print("spawn to the call at the instance", series.toCall);
        print("spawn to the request on the wire", series.toWire);
        print("spawn to its exit", series.toExit);
    }

    instance.terminate();
    instance.waitForFinished(10000);
    pad.kill();
    pad.waitForFinished(2000);
    return 0;
}
