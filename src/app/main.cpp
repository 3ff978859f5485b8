// The full program: the running instance, or a second start that hands its request to it. Users and the desktop
// start the launcher, `quillora` (src/commandline/launcher.h), which becomes this program when it is needed.
#include "app/appdelegate.h"
#include "app/builtinservice.h"
#include "app/quitonsignals.h"
#include "commandline/commandline.h"
#include "settings/appsettings.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using CommandLine::printHelpOrVersion;

// Runs the instance until it quits, or hands the request to the one that already runs in this session.
int runOrHandOver(const CommandLineRequest& request, AppSettings& settings, const ServiceEndpoint& endpoint)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quillora: no D-Bus session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }

    // What starts at login and what the desktop's shortcuts run is the launcher, the program users know.
    AppDelegate delegate(Platform::createForSession(QDir::cleanPath(
                             QApplication::applicationDirPath() + QStringLiteral("/" QUILLORA_LAUNCHER))),
        settings, endpoint);
    if (!delegate.registerService()) {
        // Another instance runs in this session: hand it the request and leave.
        std::string error;
        if (CommandLine::handOver(request, &error) != CommandLine::HandOver::Done) {
            std::fprintf(stderr, "quillora: the request was not handed over: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    delegate.applicationDidFinishLaunching();
    const QuitOnSignals quitOnSignals;

    QTimer::singleShot(0, &delegate, [&delegate, request] {
        switch (request.action) {
        case CommandLineRequest::Action::Run:
            break;
        case CommandLineRequest::Action::ExplainText:
            delegate.explainText(QString::fromStdString(request.text));
            break;
        case CommandLineRequest::Action::ExplainSelection:
            delegate.explainSelectedText();
            break;
        case CommandLineRequest::Action::AskAnything:
            delegate.askAnything();
            break;
        case CommandLineRequest::Action::ExplainScreenshot:
            delegate.explainScreenshot();
            break;
        }
    });
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher on every thread: GLib's default main context then belongs to the
    // accessibility thread alone (libatspi attaches its connections to that context).
    qputenv("QT_NO_GLIB", "1");
    // Help and version need no display: answer them before the application connects to one. Anything else
    // is parsed again below, where Qt has taken its own options (-platform, -display, ...) out of those it
    // was shown: never the user's text.
    const std::vector<std::string> rawArguments(argv, argv + argc);
    int toolkitArgc = CommandLine::toolkitArgumentCount(rawArguments);
    // The arguments once Qt has taken its own options out of those it was shown, then the user's.
    const auto arguments = [&rawArguments, toolkitArgc] {
        std::vector<std::string> remaining;
        for (const QString& argument : QCoreApplication::arguments())
            remaining.push_back(argument.toLocal8Bit().toStdString());
        remaining.insert(remaining.end(), rawArguments.begin() + toolkitArgc, rawArguments.end());
        return remaining;
    };
    std::string error;
    if (const auto early = CommandLine::parse(rawArguments, &error); early && (early->showHelp || early->showVersion))
        return printHelpOrVersion(*early);

    AppSettings settings(AppSettings::defaultFileName());
    const ServiceEndpoint endpoint = resolveServiceEndpoint(
        settings.serviceURL(), settings.serviceToken(), compiledServiceUrl(), compiledServiceToken());
    if (!endpoint.problem.isEmpty()) {
        std::fprintf(stderr, "quillora: %s\n", qPrintable(endpoint.problem));
        return 2;
    }

    // Handing a request on needs no display (ssh, cron): without one, do only that, and say so when it fails.
    if (!CommandLine::sessionHasDisplay()) {
        const QCoreApplication app(toolkitArgc, argv);
        return CommandLine::forwardWithoutDisplay(arguments());
    }

    QApplication app(toolkitArgc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quillora"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLORA_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    std::optional<CommandLineRequest> request = CommandLine::parse(arguments(), &error);
    if (!request || !CommandLine::readText(STDIN_FILENO, *request, &error))
        return CommandLine::refuse(error);
    if (request->showHelp || request->showVersion)
        return printHelpOrVersion(*request);

    return runOrHandOver(*request, settings, endpoint);
}
