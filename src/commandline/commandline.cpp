#include "commandline/commandline.h"

#include "quilloraproxy.h"

#include "commandline/quilloraentry.h"

#include <QCommandLineParser>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QFileInfo>
#include <QIODevice>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace CommandLine {

namespace {

const QCommandLineOption explainTextOption(QStringLiteral("explain-text"),
    QStringLiteral("Explain TEXT; '-' reads the text from standard input."), QStringLiteral("TEXT"));
const QCommandLineOption explainSelectionOption(
    QStringLiteral("explain-selection"), QStringLiteral("Explain the text selected in the active application."));
const QCommandLineOption explainScreenshotOption(
    QStringLiteral("explain-screenshot"), QStringLiteral("Drag out a region of the screen and explain it."));
const QCommandLineOption askOption(QStringLiteral("ask"), QStringLiteral("Open the card to ask a question."));
const QCommandLineOption helpOption(
    QStringList { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
const QCommandLineOption versionOption(
    QStringList { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Show the version."));

void setUp(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Without an option, starts Quillora (one instance per session).\n"
                       "With an option, hands the request to the running Quillora, starting it when none runs."));
    parser.addOptions(
        { explainTextOption, explainSelectionOption, explainScreenshotOption, askOption, helpOption, versionOption });
}

} // namespace

QString usage()
{
    QCommandLineParser parser;
    setUp(parser);
    // The generated first line names the executable by its full path; show the short form instead.
    QString text = parser.helpText();
    text.remove(0, text.indexOf(QLatin1Char('\n')) + 1);
    return QStringLiteral(
               "Usage: quillora [--explain-text TEXT | --explain-selection | --explain-screenshot | --ask]\n\n")
        + text;
}

int printHelpOrVersion(const CommandLineRequest& request)
{
    if (request.showHelp)
        std::fputs(qPrintable(usage()), stdout);
    else
        std::printf("quillora %s\n", QUILLORA_VERSION);
    return 0;
}

int toolkitArgumentCount(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--"))
            return int(i);
        if (arguments[i] == QLatin1String("--") + explainTextOption.names().constFirst())
            return int(std::min(i + 1, arguments.size()));
    }
    return int(arguments.size());
}

std::optional<CommandLineRequest> parse(QStringList arguments, QIODevice* input, QString* error)
{
    // `--explain-text -- TEXT` explains TEXT (a text that starts with a dash, say): the `--` only ends the options.
    const QString textOption = QLatin1String("--") + explainTextOption.names().constFirst();
    for (qsizetype i = 1; i < arguments.size() && arguments[i] != QLatin1String("--"); ++i) {
        if (arguments[i] == textOption) {
            if (i + 2 < arguments.size() && arguments[i + 1] == QLatin1String("--"))
                arguments.removeAt(i + 1);
            break;
        }
    }
    QCommandLineParser parser;
    setUp(parser);
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (const QStringList stray = parser.positionalArguments(); !stray.isEmpty()) {
        *error = QStringLiteral("Unexpected argument '%1'.").arg(stray.constFirst());
        return std::nullopt;
    }
    const QStringList texts = parser.values(explainTextOption);
    if (texts.size() + int(parser.isSet(explainSelectionOption)) + int(parser.isSet(explainScreenshotOption))
            + int(parser.isSet(askOption))
        > 1) {
        *error = QStringLiteral(
            "Give at most one of --explain-text, --explain-selection, --explain-screenshot and --ask.");
        return std::nullopt;
    }

    CommandLineRequest request;
    request.showHelp = parser.isSet(helpOption);
    request.showVersion = parser.isSet(versionOption);
    if (parser.isSet(explainSelectionOption))
        request.action = CommandLineRequest::Action::ExplainSelection;
    else if (parser.isSet(explainScreenshotOption))
        request.action = CommandLineRequest::Action::ExplainScreenshot;
    else if (parser.isSet(askOption))
        request.action = CommandLineRequest::Action::AskAnything;
    else if (!texts.isEmpty()) {
        request.action = CommandLineRequest::Action::ExplainText;
        request.text = texts.constFirst();
        request.textFromInput = request.text == QLatin1String("-");
        if (request.textFromInput && !input) {
            request.text.clear(); // read later, by a parse with input
            return request;
        }
        if (request.textFromInput) {
            if (!input->isReadable()) {
                *error = QStringLiteral("Cannot read the text from standard input.");
                return std::nullopt;
            }
            // Reads no further than the longest text that could still be within the limit (4 bytes a character).
            const qint64 enough = QuilloraEntry::maximumTextLength * 4 + 1;
            QByteArray bytes;
            while (bytes.size() < enough) {
                const QByteArray chunk = input->read(enough - bytes.size());
                if (chunk.isEmpty())
                    break;
                bytes += chunk;
            }
            if (bytes.size() >= enough) {
                *error = QuilloraEntry::tooLongMessage();
                return std::nullopt;
            }
            request.text = QString::fromUtf8(bytes);
        }
        if (request.text.isEmpty()) {
            *error = QStringLiteral("There is no text to explain.");
            return std::nullopt;
        }
        if (request.text.size() > QuilloraEntry::maximumTextLength) {
            *error = QuilloraEntry::tooLongMessage();
            return std::nullopt;
        }
    }
    return request;
}

std::optional<QString> quilloraOwner(QDBusConnection bus, QString* error)
{
    QDBusConnectionInterface* daemon = bus.interface();
    const QDBusReply<QString> owner = daemon ? daemon->serviceOwner(QuilloraEntry::serviceName) : QDBusReply<QString>();
    if (!owner.isValid() || owner.value().isEmpty()) {
        *error = QStringLiteral("no Quillora is running in this session.");
        return std::nullopt;
    }
    const QDBusReply<uint> uid = daemon->serviceUid(owner.value());
    const QDBusReply<uint> pid = daemon->servicePid(owner.value());
    const QFileInfo program(QStringLiteral("/proc/%1/exe").arg(pid.isValid() ? pid.value() : 0));
    const QString path = program.symLinkTarget();
    const bool ours = uid.isValid() && uid.value() == ::getuid() && !path.isEmpty()
        && (QFileInfo(path).fileName() == QLatin1String("quillora")
            || QFileInfo(path).canonicalFilePath() == QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
    if (!ours) {
        *error = QStringLiteral("the program that holds the name %1 is not a Quillora of this user; nothing was sent.")
                     .arg(QuilloraEntry::serviceName);
        return std::nullopt;
    }
    return owner.value();
}

namespace {

bool nameHasOwner(QDBusConnection& bus)
{
    QDBusConnectionInterface* daemon = bus.interface();
    const QDBusReply<bool> owned
        = daemon ? daemon->isServiceRegistered(QuilloraEntry::serviceName) : QDBusReply<bool>();
    // When the bus does not say, the name is taken as owned: the caller then reports the failure, and nothing
    // starts a second instance on a guess.
    return !owned.isValid() || owned.value();
}

} // namespace

HandOver handOver(const CommandLineRequest& request, QDBusConnection bus, QString* error)
{
    // The request goes to the connection that owns the name now, and only when that is a Quillora of this user:
    // texts are not handed to whichever program took the name meanwhile.
    const std::optional<QString> owner = quilloraOwner(bus, error);
    if (!owner)
        return nameHasOwner(bus) ? HandOver::Failed : HandOver::NoInstance;
    QuilloraProxy quillora(*owner, QuilloraEntry::objectPath, bus);
    quillora.setTimeout(5000);
    QDBusPendingReply<> reply;
    switch (request.action) {
    case CommandLineRequest::Action::Run:
        // Started again (the application grid, a menu): the running instance shows its settings, the one window
        // of a program that lives in the tray, and on a desktop without a tray the only road to them.
        reply = quillora.OpenSettings();
        break;
    case CommandLineRequest::Action::ExplainText:
        reply = quillora.ExplainText(request.text);
        break;
    case CommandLineRequest::Action::ExplainSelection:
        reply = quillora.ExplainSelection();
        break;
    case CommandLineRequest::Action::AskAnything:
        reply = quillora.AskAnything();
        break;
    case CommandLineRequest::Action::ExplainScreenshot:
        reply = quillora.ExplainScreenshot();
        break;
    }
    reply.waitForFinished();
    if (reply.isError()) {
        *error = reply.error().message();
        return nameHasOwner(bus) ? HandOver::Failed : HandOver::NoInstance;
    }
    return HandOver::Done;
}

bool forward(const CommandLineRequest& request, QDBusConnection bus, QString* error)
{
    return handOver(request, bus, error) == HandOver::Done;
}

bool sessionHasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int forwardWithoutDisplay(const QStringList& arguments, QIODevice* input)
{
    QString error;
    const std::optional<CommandLineRequest> request = parse(arguments, input, &error);
    if (!request) {
        std::fprintf(stderr, "quillora: %s\n\n%s", qPrintable(error), qPrintable(usage()));
        return 2;
    }
    if (request->action == CommandLineRequest::Action::Run) {
        std::fprintf(stderr, "quillora: there is no display to show Quillora on.\n");
        return 1;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quillora: no D-Bus session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    if (!forward(*request, bus, &error)) {
        std::fprintf(stderr, "quillora: the request was not handed over: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}

} // namespace CommandLine
