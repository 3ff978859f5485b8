#include "capture/commandline.h"

#include "capture/servicehandler.h"

#include <QCommandLineParser>
#include <QDBusMessage>
#include <QIODevice>

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

std::optional<CommandLineRequest> parse(const QStringList& arguments, QIODevice* input, QString* error)
{
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
        if (request.text == QLatin1String("-")) {
            if (!input || !input->isReadable()) {
                *error = QStringLiteral("Cannot read the text from standard input.");
                return std::nullopt;
            }
            request.text = QString::fromUtf8(input->readAll());
        }
    }
    return request;
}

bool forward(const CommandLineRequest& request, QDBusConnection bus, QString* error)
{
    QString method;
    QVariantList arguments;
    switch (request.action) {
    case CommandLineRequest::Action::Run:
        return true;
    case CommandLineRequest::Action::ExplainText:
        method = QStringLiteral("ExplainText");
        arguments << request.text;
        break;
    case CommandLineRequest::Action::ExplainSelection:
        method = QStringLiteral("ExplainSelection");
        break;
    case CommandLineRequest::Action::AskAnything:
        method = QStringLiteral("AskAnything");
        break;
    case CommandLineRequest::Action::ExplainScreenshot:
        method = QStringLiteral("ExplainScreenshot");
        break;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        ServiceHandler::serviceName, ServiceHandler::objectPath, ServiceHandler::interfaceName, method);
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        *error = reply.errorMessage();
        return false;
    }
    return true;
}

} // namespace CommandLine
