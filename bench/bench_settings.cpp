// How fast the settings window reaches the screen and what it costs in memory while open and once closed, in a
// process that has preloaded the popup as the program does; and how long a key recorded in it takes to be in
// force as a global key. Run it on a desktop (for instance
// tests/support/with-desktop.sh build/<dir>/bench/bench_settings); it prints its figures.
#include "app/updatechecker.h"
#include "capture/hotkeymanager.h"
#include "platform/platform.h"
#include "popup/popupwindowcontroller.h"
#include "popupstack.h"
#include "service/quilloraapiclient.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"
#include "settings/servicesettings.h"
#include "settings/settingswindow.h"
#include "ui/viewwindow.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields[0] == "VmRSS:")
            return fields[1].toDouble() / 1024;
    }
    return 0;
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Milliseconds from open() to the window's first frame; -1 if none came.
double openToFirstFrame(SettingsWindow& settings)
{
    QElapsedTimer clock;
    clock.start();
    settings.open();
    ViewWindow* window = settings.window();
    if (!window)
        return -1;
    QEventLoop loop;
    double elapsed = -1;
    QObject::connect(window, &QQuickWindow::frameSwapped, &loop, [&] {
        elapsed = double(clock.nsecsElapsed()) / 1e6;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QTemporaryDir config;
    AppSettings appSettings(config.filePath(QStringLiteral("Quillora.conf")));
    const std::unique_ptr<Platform> platform = Platform::createForSession();
    PopupStack popup(*platform, QUrl(QStringLiteral("https://127.0.0.1:1/unused")));
    popup.controller.preload();
    // With the service group showing a team's service, the fullest the window gets.
    appSettings.setServiceURL(QStringLiteral("https://quillora.example.com/v1/explain"));
    ServiceSettings service(
        appSettings, *platform->secrets, ServiceEndpoint { QUrl(QStringLiteral("https://127.0.0.1:1/unused")) });
    SettingsWindow settings(appSettings, nullptr, popup.engines.engine(), nullptr, &service);
    settle(300);
    malloc_trim(0);
    const double before = residentMegabytes();

    std::vector<double> opens;
    double whileOpen = 0;
    std::vector<double> afterClose;
    for (int i = 0; i < 10; ++i) {
        opens.push_back(openToFirstFrame(settings));
        settle(150);
        whileOpen = std::max(whileOpen, residentMegabytes() - before);
        settings.window()->close();
        // The window deletes itself once closed; the program's event loop would do what this loop cannot.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        settle(150);
        malloc_trim(0); // what the allocator keeps is not the window's
        afterClose.push_back(residentMegabytes() - before);
    }
    std::vector<double> later(opens.begin() + 1, opens.end());
    std::sort(later.begin(), later.end());
    std::printf("settings window, open to first frame: first %.1f ms, later median %.1f ms (max %.1f)\n", opens[0],
        later[later.size() / 2], later.back());
    std::printf(
        "resident memory before %.1f MB; extra while open (max) %+.2f MB; extra after the first close %+.2f MB, "
        "after the tenth %+.2f MB\n",
        before, whileOpen, afterClose.front(), afterClose.back());

    // Parsing the largest update feed accepted (the checker does it on a pool thread, off the main one):
    QByteArray feed
        = R"(<?xml version="1.0"?><rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
    for (int i = 0; feed.size() < UpdateChecker::maximumFeedSize - 400; ++i)
        feed += QByteArrayLiteral("<item><title>Quillora</title><sparkle:version>1.") + QByteArray::number(i)
            + "</sparkle:version><enclosure url=\"https://quillora.org/get\"/></item>";
    feed += "</channel></rss>";
    QElapsedTimer clock;
    clock.start();
    const Appcast::ParseResult parsed = Appcast::parse(feed);
    std::printf("update feed of %lld KB parsed in %.1f ms off the main thread (newest %s)\n",
        qint64(feed.size() / 1024), double(clock.nsecsElapsed()) / 1e6,
        parsed.newest ? qPrintable(parsed.newest->version) : "nothing");

    // A recorded key to its grab in force: the old key released and the new one taken, the server's answer
    // to the grab received (where another client held it, this is when the row would say so).
    HotkeyManager manager(*platform->globalHotkeys);
    for (const HotkeySettings::Command& command : HotkeySettings::commands) {
        manager.registerHotkey(command.id, HotkeySettings::keyCode(command.defaultKey.key()),
            command.defaultKey.keyboardModifiers(), QString::fromLatin1(command.name), [] {});
    }
    HotkeySettings hotkeys(appSettings, std::bind_front(&HotkeyManager::changeHotkey, &manager), false);
    std::vector<double> changes;
    for (int i = 0; i < 40; ++i) {
        const Qt::Key key = i % 2 ? Qt::Key_R : Qt::Key_E;
        hotkeys.startRecording(0);
        clock.restart();
        hotkeys.keyPressed(key, int(Qt::ControlModifier | Qt::AltModifier), HotkeySettings::keyCode(key));
        changes.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!hotkeys.note(0).isEmpty()) {
            std::printf("recorded key not taken: %s\n", qPrintable(hotkeys.note(0)));
            break;
        }
    }
    std::sort(changes.begin(), changes.end());
    std::printf("recorded key to new grab in force: median %.2f ms, max %.2f ms over %zu changes\n",
        changes[changes.size() / 2], changes.back(), changes.size());
    return 0;
}
