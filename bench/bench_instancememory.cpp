// What big answers and hostile D-Bus callers cost the running program: its resident memory idle, with a large
// answer shown, 8 s after that card was closed and after 100 ordinary explanations; and the main thread's longest
// stall while a 100 MiB message arrives at the D-Bus entry. Runs under the test desktop:
//   tests/support/with-desktop.sh build/<dir>/bench/bench_instancememory
#include "app/servicehandler.h"
#include "residentmemory.h"
#include "stubservice.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

const QString serviceName = QStringLiteral("org.quillora.Quillora");

bool nameOwned() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(serviceName); }

QDBusMessage explainText(const QString& text)
{
    auto message = QDBusMessage::createMethodCall(serviceName, "/org/quillora/Quillora", serviceName, "ExplainText");
    message.setArguments({ text });
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
}

// Sends one ExplainText call of `mib` MiB from another process (so this one's marshalling is not measured).
QProcess* sendHugeCall(int mib)
{
    auto* sender = new QProcess;
    sender->start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral("-c"),
            QStringLiteral("from gi.repository import Gio, GLib\n"
                           "bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)\n"
                           "try:\n"
                           "    bus.call_sync('org.quillora.Quillora', '/org/quillora/Quillora', "
                           "'org.quillora.Quillora', 'ExplainText', GLib.Variant('(s)', ('x' * (%1 << 20),)), "
                           "None, 0, 30000, None)\n"
                           "except GLib.Error as e:\n"
                           "    print(e.message)\n")
                .arg(mib) });
    return sender;
}

// The main thread's longest gap between two ticks of a 1 ms timer while a 100 MiB call comes in, with this process
// holding the entry.
void stallWhileAHugeCallArrives()
{
    ServiceHandler entry;
    entry.onTextReceived = [](const QString&) { };
    if (!entry.listen()) {
        std::printf("the D-Bus entry could not take its name\n");
        return;
    }
    QElapsedTimer gap;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, gap.restart()); });
    std::unique_ptr<QProcess> sender(sendHugeCall(100));
    gap.start();
    ticker.start(1);
    (void)QTest::qWaitFor([&] { return sender->state() == QProcess::NotRunning; }, 60000);
    ticker.stop();
    const QByteArray answer = sender->readAllStandardOutput().trimmed();
    (void)QTest::qWaitFor([&] { return entry.isListening(); }, 5000);
    std::printf("100 MiB D-Bus call: main thread's longest stall %lld ms; the caller was told \"%s\"; the entry is %s\n",
        static_cast<long long>(longest), answer.left(90).constData(),
        entry.isListening() ? "listening again" : "gone (!)");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    stallWhileAHugeCallArrives();
    (void)QTest::qWaitFor([] { return !nameOwned(); }, 5000);

    // Every answer has the same Markdown, so the fonts and glyphs it needs are loaded by the first.
    const QString line = QStringLiteral("Some *emphasis*, `code` and a line of an answer that goes on.\n\n");
    StubService stub(StubService::Tls::None);
    stub.replyWithExplanation(line);
    QTemporaryDir config;
    QProcess instance;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("QUILLORA_TEST_SERVICE_URL", stub.url().toString());
    instance.setProcessEnvironment(env);
    instance.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    instance.start(QStringLiteral(QUILLORA_E2E_PROGRAM), {});
    if (!QTest::qWaitFor(nameOwned, 10000))
        return 1;
    const qint64 pid = instance.processId();
    int requests = 0;
    const auto explainAndWait = [&](const QString& text) {
        explainText(text);
        stub.waitForRequests(++requests, 10000);
    };
    const auto closeCard = [] { QProcess::execute(QStringLiteral("xdotool"), { "mousemove", "5", "5", "click", "1" }); };

    // Idle, after a first short answer (the card built once).
    explainAndWait(QStringLiteral("warm-up"));
    QTest::qWait(2000);
    closeCard();
    QTest::qWait(3000);
    const double idle = residentMiB(pid);
    std::printf("idle, after one short answer: %.1f MiB\n", idle);

    // Large answers, each shown and then closed.
    for (const qsizetype size : { qsizetype(15'000'000), qsizetype(1'000'000), qsizetype(100'000) }) {
        QString answer;
        answer.reserve(size);
        while (answer.size() < size)
            answer += line;
        stub.replyWithExplanation(answer);
        explainAndWait(QStringLiteral("big"));
        QTest::qWait(3000);
        const double shown = residentMiB(pid);
        closeCard();
        QTest::qWait(8000);
        std::printf("%.1f MB answer: %.1f MiB with its card up (+%.1f), %.1f MiB 8 s after it was closed (+%.1f)\n",
            double(StubService::explanationBody(answer).size()) / 1e6, shown, shown - idle, residentMiB(pid),
            residentMiB(pid) - idle);
    }

    // 100 ordinary explanations, at the pace the entry lets through.
    stub.replyWithExplanation(line + line + line);
    for (int i = 0; i < 100; ++i) {
        explainAndWait(QStringLiteral("ordinary %1").arg(i));
        QTest::qWait(ServiceHandler::refillIntervalMs + 20);
    }
    closeCard();
    QTest::qWait(8000);
    std::printf("after 100 ordinary explanations, 8 s after the last card was closed: %.1f MiB (+%.1f)\n",
        residentMiB(pid), residentMiB(pid) - idle);

    instance.terminate();
    instance.waitForFinished(10000);
    return 0;
}
