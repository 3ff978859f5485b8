// The Wayland backends' figures, to set beside the same run's X11 ones: screenshot trigger to overlay on screen
// through the Screenshot portal, the copy road through the RemoteDesktop portal and data-control, and the
// running program's idle memory. Runs under a Wayland test desktop, and its idle-memory part under X11 too:
//   tests/support/with-kde-wayland.sh build/<dir>/bench/bench_wayland
//   tests/support/with-desktop.sh build/<dir>/bench/bench_wayland   (idle memory only)
#include "app/popuppresenter.h"
#include "capture/textcapturecoordinator.h"
#include "platform/platform.h"
#include "platform/wayland/datacontrolpasteboard.h"
#include "platform/wayland/portalkeyboard.h"
#include "popup/popuppanel.h"
#include "popupstack.h"
#include "residentmemory.h"
#include "screenshot/screenshotcapturemanager.h"
#include "screenshot/screenshotoverlayview.h"
#include "stubservice.h"

#include <QApplication>
#include <QCoroSignal>
#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// From startCapture to the overlay's first frame, five times.
void overlayFigures(Platform& platform)
{
    ScreenshotCaptureManager screenshots(platform);
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        screenshots.startCapture();
        // Shown and painted: the overlays may be shown (and exposed) before their pictures exist.
        const bool shown = QTest::qWaitFor(
            [&] {
                const auto& panels = screenshots.overlayPanels();
                return !panels.isEmpty() && std::all_of(panels.cbegin(), panels.cend(), [](const QWindow* w) {
                    return w->isExposed() && static_cast<const ScreenshotOverlayView*>(w)->isPainted();
                });
            },
            10000);
        if (shown)
            times.push_back(double(clock.elapsed()));
        screenshots.cleanup();
        QTest::qWait(1200); // the desktop names its screenshots to the second
    }
    const QSize size = QGuiApplication::primaryScreen()->size() * QGuiApplication::primaryScreen()->devicePixelRatio();
    std::printf("screenshot trigger to overlay on screen at %dx%d: median %.0f ms of %zu\n", size.width(),
        size.height(), median(times), times.size());
}

// From sending the copy shortcut to the copied text read back, in a GTK editor without accessibility.
void copyRoadFigures()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    QProcess pad;
    pad.setProcessEnvironment(env);
    pad.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(QUILLORA_TEST_PAD), "--text", "The quick brown fox", "--select", "4", "9" });
    if (!QTest::qWaitFor([&] { return pad.canReadLine(); }, 15000))
        return;
    // The editor takes the keyboard on a click (the desktop centres it under the pointer); all its text selected.
    QProcess::execute(QStringLiteral("/usr/bin/python3"), { QStringLiteral(QUILLORA_WAYLAND_KEYS), "click", "ctrl+a" });
    QTest::qWait(500);
    std::unique_ptr<DataControlPasteboard> pasteboard = DataControlPasteboard::start({});
    PortalKeyboard keyboard(QDBusConnection::sessionBus(), PortalKeyboard::desktopSendsWithoutDialog());
    if (!pasteboard || !QCoro::waitFor(pasteboard->available())) {
        std::printf("copy road: no data-control clipboard\n");
        return;
    }
    QCoro::waitFor(keyboard.sendCopyShortcut(false)); // the session, once
    QTest::qWait(500);
    std::vector<double> times;
    for (int run = 0; run < 10; ++run) {
        pasteboard->restore({ { { QStringLiteral("text/plain"), QByteArray("before") } } });
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        if (!QCoro::waitFor(keyboard.sendCopyShortcut(false)))
            break;
        // Read until the editor's copy is there: the first reads may still see the text put there before.
        while (clock.elapsed() < 2000) {
            if (QCoro::waitFor(pasteboard->text()) == QLatin1String("The quick brown fox")) {
                times.push_back(double(clock.elapsed()));
                break;
            }
        }
    }
    std::printf("copy road (shortcut through the portal to the copied text read): median %.0f ms, %zu of 10 "
                "copied\n",
        median(times), times.size());
    pad.kill();
    pad.waitForFinished();
}

// From an Alt+X's reading (the key's handler) to the card's first frame on screen with its content placed,
// on the AT-SPI road in a GTK editor. The desktop hands the key over before that (its Activated signal).
void keyToCardFigures(Platform& platform)
{
    QProcess pad;
    pad.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(QUILLORA_TEST_PAD), "--text", "The quick brown fox", "--select", "4", "9" });
    if (!QTest::qWaitFor([&] { return pad.canReadLine(); }, 15000))
        return;
    QTest::qWait(500);
    StubService stub(StubService::Tls::None);
    stub.replyWithExplanation(QStringLiteral("An answer."));
    PopupStack popup(platform, stub.url());
    popup.controller.preload();
    PopupPresenter presenter(popup.controller, *platform.accessibility);
    ScreenshotCaptureManager screenshots(platform);
    TextCaptureCoordinator coordinator(presenter, platform, screenshots);
    std::vector<double> times;
    for (int run = 0; run < 10; ++run) {
        QElapsedTimer clock;
        clock.start();
        qint64 onScreen = -1;
        QMetaObject::Connection swapped;
        auto shown = QObject::connect(&popup.controller, &PopupWindowController::panelShown, [&] {
            auto* panel = static_cast<PopupPanel*>(popup.controller.panel());
            swapped = QObject::connect(panel, &QQuickWindow::frameSwapped, [&, panel] {
                if (onScreen < 0 && panel->content()->isVisible())
                    onScreen = clock.elapsed();
            });
        });
        QCoro::waitFor(coordinator.explainSelectedText());
        [[maybe_unused]] const bool came = QTest::qWaitFor([&] { return onScreen >= 0; }, 3000);
        QObject::disconnect(shown);
        QObject::disconnect(swapped);
        if (onScreen >= 0)
            times.push_back(double(onScreen));
        popup.controller.closePopup();
        QTest::qWait(300);
    }
    std::printf("Alt+X reading to card on screen (AT-SPI road, GTK editor): median %.0f ms, %zu of 10 shown\n",
        median(times), times.size());
    pad.kill();
    pad.waitForFinished();
}

// The real program's resident memory 8 s after it started, with every backend of this session in place.
void idleFigures()
{
    StubService stub(StubService::Tls::None);
    QTemporaryDir config;
    QProcess instance;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("QUILLORA_TEST_SERVICE_URL", stub.url().toString());
    instance.setProcessEnvironment(env);
    instance.start(QStringLiteral(QUILLORA_E2E_PROGRAM), {});
    const bool up = QTest::qWaitFor(
        [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.quillora.Quillora"); }, 15000);
    QTest::qWait(8000);
    std::printf("idle program on %s: %.1f MiB resident\n", qPrintable(QGuiApplication::platformName()),
        up ? residentMiB(instance.processId()) : -1.0);
    instance.terminate();
    instance.waitForFinished(10000);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_NO_GLIB", "1"); // as main() does
    QApplication app(argc, argv);
    idleFigures();
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return 0;
    std::unique_ptr<Platform> platform = Platform::createForSession();
    keyToCardFigures(*platform);
    copyRoadFigures(); // before the overlays, which take the keyboard from the editor
    overlayFigures(*platform);
    return 0;
}
