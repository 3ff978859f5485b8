#include "capture/commandline.h"

#include "capture/servicehandler.h"

#include <QDBusMessage>
#include <QIODevice>

namespace CommandLine {

QString usage()
{
    return QStringLiteral(
        "Usage: quillora [--explain-text TEXT | --explain-selection | --ask]\n"
        "\n"
        "Without an option, starts Quillora (one instance per session).\n"
        "With an option, hands the request to the running Quillora, starting it when none runs.\n"
        "\n"
        "  --explain-text TEXT   explain TEXT; '-' reads the text from standard input\n"
        "  --explain-selection   explain the text selected in the active application\n"
        "  --ask                 open the card to ask a question\n"
        "  -h, --help            show this help\n"
        "  -v, --version         show the version\n");
}

std::optional<CommandLineRequest> parse(const QStringList& arguments, QIODevice* input, QString* error)
{
    CommandLineRequest request;
    int actions = 0;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            request.showHelp = true;
        } else if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            request.showVersion = true;
        } else if (argument == QLatin1String("--explain-selection")) {
            request.action = CommandLineRequest::Action::ExplainSelection;
            ++actions;
        } else if (argument == QLatin1String("--ask")) {
            request.action = CommandLineRequest::Action::AskAnything;
            ++actions;
        } else if (argument == QLatin1String("--explain-text") || argument.startsWith(QLatin1String("--explain-text="))) {
            QString text;
            if (argument.startsWith(QLatin1String("--explain-text="))) {
                text = argument.mid(int(qstrlen("--explain-text=")));
            } else if (i + 1 < arguments.size()) {
                text = arguments[++i];
            } else {
                *error = QStringLiteral("--explain-text needs a text (or '-' to read standard input)");
                return std::nullopt;
            }
            if (text == QLatin1String("-")) {
                if (!input || !input->isReadable()) {
                    *error = QStringLiteral("cannot read the text from standard input");
                    return std::nullopt;
                }
                text = QString::fromUtf8(input->readAll());
            }
            request.action = CommandLineRequest::Action::ExplainText;
            request.text = text;
            ++actions;
        } else {
            *error = QStringLiteral("unknown argument '%1'").arg(argument);
            return std::nullopt;
        }
    }
    if (actions > 1) {
        *error = QStringLiteral("give at most one of --explain-text, --explain-selection and --ask");
        return std::nullopt;
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
