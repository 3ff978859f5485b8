// Start-up, idle memory and Alt+X to card, of the running program beside a bare Qt tray process, with the card
// built at start-up (preloaded) and on the first trigger. Runs under the test desktop:
//   tests/support/with-desktop.sh build/<dir>/bench/bench_startup
#include "app/appdelegate.h"
#include "app/builtinservice.h"
#include "popup/popupwindowcontroller.h"
#include "settings/appsettings.h"
#include "stubservice.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr int idleSeconds = 5;
constexpr int presses = 4;

qint64 now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.simplified().split(' ').value(1).toDouble() / 1024;
    }
    return 0;
}

void say(const char* what, qint64 value)
{
    std::printf("%s %lld\n", what, static_cast<long long>(value));
    std::fflush(stdout);
}

// A child process: "ready <steady ns>" once up, "rss <kB>" after the idle time, "card <steady ns>" per card.
int runChild(const QString& mode)
{
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon* bare = nullptr;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<AppDelegate> delegate;
    if (mode == QLatin1String("--bare")) {
        QPixmap pixmap(22, 22);
        pixmap.fill(Qt::darkBlue);
        bare = new QSystemTrayIcon(QIcon(pixmap));
        bare->show();
    } else {
        settings = std::make_unique<AppSettings>(AppSettings::defaultFileName());
        delegate = std::make_unique<AppDelegate>(Platform::createForSession(), *settings,
            resolveServiceEndpoint({}, {}, compiledServiceUrl(), compiledServiceToken()));
        if (!delegate->registerService())
            return 1;
        delegate->applicationDidFinishLaunching();
        if (mode == QLatin1String("--app-preload"))
            QTimer::singleShot(0, [&delegate] { delegate->popup().preload(); });
    }
    say("ready", now());
    QTimer::singleShot(idleSeconds * 1000, [&mode, &delegate] {
        say("rss", qint64(residentMegabytes() * 1024));
        if (mode == QLatin1String("--bare"))
            return;
        PopupWindowController& popup = delegate->popup();
        QObject::connect(&popup, &PopupWindowController::panelShown, [&popup] {
            say("card", now());
            QTimer::singleShot(300, &popup, &PopupWindowController::closePopup);
        });
    });
    const int result = QApplication::exec();
    delegate.reset();
    delete bare;
    return result;
}

struct Run {
    double startupMs = 0;
    double idleMb = 0;
    std::vector<double> toCardMs; // per Alt+X press, the first one first
};

QByteArray readLine(QProcess& child, const QByteArray& prefix, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        while (child.canReadLine()) {
            const QByteArray line = child.readLine().trimmed();
            if (line.startsWith(prefix + ' '))
                return line.mid(prefix.size() + 1);
        }
        child.waitForReadyRead(10);
    }
    return {};
}

void tapAltX(xcb_connection_t* x)
{
    for (const auto& [type, key] :
        { std::pair { XCB_KEY_PRESS, 64 }, { XCB_KEY_PRESS, 53 }, { XCB_KEY_RELEASE, 53 }, { XCB_KEY_RELEASE, 64 } })
        xcb_test_fake_input(x, quint8(type), quint8(key), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(x);
}

Run runOnce(const QString& mode, const QProcessEnvironment& env, xcb_connection_t* x)
{
    Run run;
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    const qint64 started = now();
    child.start(QCoreApplication::applicationFilePath(), { mode });
    run.startupMs = (readLine(child, "ready", 10000).toLongLong() - started) / 1e6;
    run.idleMb = readLine(child, "rss", (idleSeconds + 5) * 1000).toDouble() / 1024;
    if (mode != QLatin1String("--bare")) {
        for (int i = 0; i < presses; ++i) {
            const qint64 pressed = now();
            tapAltX(x);
            const QByteArray card = readLine(child, "card", 5000);
            run.toCardMs.push_back(card.isEmpty() ? -1 : (card.toLongLong() - pressed) / 1e6);
            QTest::qWait(600);
        }
    }
    child.terminate();
    child.waitForFinished(5000);
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc > 1)
        return runChild(QString::fromLocal8Bit(argv[1]));

    constexpr int rounds = 5;
    StubService stub(StubService::Tls::None);
    stub.replyWithExplanation(QStringLiteral("An answer."));
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLORA_TEST_SERVICE_URL"), stub.url().toString());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());

    QProcess pad;
    pad.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(QUILLORA_TEST_PAD), "--text", "The quick brown fox", "--select", "4", "9" });
    pad.waitForReadyRead(10000);
    QTest::qWait(300);
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);

    std::printf("%d rounds each; start-up = launch to tray shown (bare) or to keys grabbed and D-Bus name owned; "
                "memory = VmRSS %d s after start; Alt+X = XTest press to the card's panelShown (AT-SPI path)\n",
        rounds, idleSeconds);
    for (const char* mode : { "--bare", "--app", "--app-preload" }) {
        std::vector<double> startup, idle, first, later;
        for (int round = 0; round < rounds; ++round) {
            const Run run = runOnce(QString::fromLatin1(mode), env, x);
            startup.push_back(run.startupMs);
            idle.push_back(run.idleMb);
            if (!run.toCardMs.empty()) {
                first.push_back(run.toCardMs.front());
                later.insert(later.end(), run.toCardMs.begin() + 1, run.toCardMs.end());
            }
        }
        std::printf("%-13s start-up %.1f ms  idle memory %.1f MB", mode + 2, median(startup), median(idle));
        if (!first.empty())
            std::printf("  Alt+X to card: first %.1f ms, later %.1f ms", median(first), median(later));
        std::printf("\n");
        std::fflush(stdout);
    }
    xcb_disconnect(x);
    pad.kill();
    pad.waitForFinished();
    return 0;
}
