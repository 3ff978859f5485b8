// The full program: the running instance, or a second start that hands its request to it. Users and the desktop
// start the launcher, `quillora` (src/commandline/launcher.h), which becomes this program when it is needed.
#include "app/appdelegate.h"
#include "app/builtinservice.h"
#include "app/quitonsignals.h"
#include "commandline/commandline.h"
#include "settings/appsettings.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cstdio>

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
        QString error;
        if (!CommandLine::forward(request, bus, &error)) {
            std::fprintf(stderr, "quillora: the request was not handed over: %s\n", qPrintable(error));
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
            delegate.explainText(request.text);
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
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    int toolkitArgc = CommandLine::toolkitArgumentCount(rawArguments);
    const QStringList usersArguments = rawArguments.mid(toolkitArgc);
    QString error;
    if (const auto early = CommandLine::parse(rawArguments, nullptr, &error);
        early && (early->showHelp || early->showVersion))
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
        QCoreApplication app(toolkitArgc, argv);
        QFile input;
        input.open(stdin, QIODevice::ReadOnly);
        return CommandLine::forwardWithoutDisplay(QCoreApplication::arguments() + usersArguments, &input);
    }

    QApplication app(toolkitArgc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quillora"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLORA_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    QFile input;
    input.open(stdin, QIODevice::ReadOnly);
    const std::optional<CommandLineRequest> request
        = CommandLine::parse(QApplication::arguments() + usersArguments, &input, &error);
    if (!request) {
        std::fprintf(stderr, "quillora: %s\n\n%s", qPrintable(error), qPrintable(CommandLine::usage()));
        return 2;
    }
    if (request->showHelp || request->showVersion)
        return printHelpOrVersion(*request);

    return runOrHandOver(*request, settings, endpoint);
}
