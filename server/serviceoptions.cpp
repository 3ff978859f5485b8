#include "serviceoptions.h"

#include <boost/asio/ip/address.hpp>

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

namespace {

QList<QByteArray> splitTokens(const QByteArray& text)
{
    QList<QByteArray> tokens;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        for (const QByteArray& token : trimmed.split(','))
            if (!token.trimmed().isEmpty())
                tokens.append(token.trimmed());
    }
    return tokens;
}

bool readCount(const QCommandLineParser& parser, const QString& name, int minimum, int* out, QString* message)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum) {
        *message = QStringLiteral("--%1 needs a whole number of at least %2.").arg(name).arg(minimum);
        return false;
    }
    *out = value;
    return true;
}

void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Explains text and screenshots for Quillora through an OpenAI-compatible Chat Completions endpoint.\n"
        "The upstream key is read from QUILLORA_UPSTREAM_KEY; accepted service tokens from --tokens-file or\n"
        "QUILLORA_SERVICE_TOKENS (comma-separated), else the build's default token."));
    parser.addOptions({
        { QStringLiteral("listen"),
            QStringLiteral("Address and port to serve on (default 127.0.0.1:%1).").arg(ServiceOptions::defaultPort),
            QStringLiteral("host:port") },
        { QStringLiteral("upstream-url"),
            QStringLiteral("Base URL of the Chat Completions API (default http://127.0.0.1:11434/v1, Ollama)."),
            QStringLiteral("url") },
        { QStringLiteral("model"), QStringLiteral("Model to ask (default: the first one the upstream lists)."),
            QStringLiteral("name") },
        { QStringLiteral("upstream-timeout"), QStringLiteral("Seconds to wait for the model (default 25)."),
            QStringLiteral("seconds") },
        { QStringLiteral("max-in-flight"), QStringLiteral("Requests waiting on the model at once (default 1024)."),
            QStringLiteral("n") },
        { QStringLiteral("max-connections"), QStringLiteral("Open client connections at once (default 4096)."),
            QStringLiteral("n") },
        { QStringLiteral("rate-per-address"),
            QStringLiteral("Requests per minute from one client address (default 120, 0: no limit)."),
            QStringLiteral("n") },
        { QStringLiteral("rate-per-user"),
            QStringLiteral("Requests per minute for one user (default 30, 0: no limit)."), QStringLiteral("n") },
        { QStringLiteral("tokens-file"), QStringLiteral("File of accepted service tokens, one a line."),
            QStringLiteral("file") },
    });
}

bool readListenAddress(const QCommandLineParser& parser, ServiceOptions& options, QString* message)
{
    if (!parser.isSet(QStringLiteral("listen")))
        return true;
    static const QRegularExpression hostPort(QStringLiteral("^\\[?([^\\]]+?)\\]?:(\\d{1,5})$"));
    const auto match = hostPort.match(parser.value(QStringLiteral("listen")));
    const uint port = match.captured(2).toUInt();
    boost::system::error_code notAnAddress;
    boost::asio::ip::make_address(match.captured(1).toStdString(), notAnAddress);
    if (!match.hasMatch() || port > 65535 || notAnAddress) {
        *message = QStringLiteral("--listen needs an IP address and a port, for example 127.0.0.1:%1.")
                       .arg(ServiceOptions::defaultPort);
        return false;
    }
    options.listenHost = match.captured(1);
    options.listenPort = quint16(port);
    return true;
}

bool readUpstreamUrl(const QCommandLineParser& parser, ServiceOptions& options, QString* message)
{
    if (!parser.isSet(QStringLiteral("upstream-url")))
        return true;
    QString url = parser.value(QStringLiteral("upstream-url"));
    while (url.endsWith(u'/'))
        url.chop(1);
    options.upstreamUrl = QUrl(url, QUrl::StrictMode);
    const QString scheme = options.upstreamUrl.scheme();
    if (!options.upstreamUrl.isValid() || options.upstreamUrl.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        *message = QStringLiteral("--upstream-url needs an http:// or https:// URL, for example "
                                  "https://api.openai.com/v1.");
        return false;
    }
    return true;
}

bool readLimits(const QCommandLineParser& parser, ServiceOptions& options, QString* message)
{
    int timeoutSeconds = 25;
    if (!readCount(parser, QStringLiteral("upstream-timeout"), 1, &timeoutSeconds, message)
        || !readCount(parser, QStringLiteral("max-in-flight"), 1, &options.maxInFlight, message)
        || !readCount(parser, QStringLiteral("max-connections"), 1, &options.maxConnections, message)
        || !readCount(parser, QStringLiteral("rate-per-address"), 0, &options.ratePerAddress, message)
        || !readCount(parser, QStringLiteral("rate-per-user"), 0, &options.ratePerUser, message))
        return false;
    options.upstreamTimeout = std::chrono::seconds(timeoutSeconds);
    return true;
}

// The tokens file when one is named, else the environment, else the build's default token.
bool readTokens(
    const QCommandLineParser& parser, const QByteArray& defaultToken, ServiceOptions& options, QString* message)
{
    if (parser.isSet(QStringLiteral("tokens-file"))) {
        QFile file(parser.value(QStringLiteral("tokens-file")));
        if (!file.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("Cannot read the tokens file %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        options.tokens = splitTokens(file.read(1024 * 1024));
        if (options.tokens.isEmpty()) {
            *message = QStringLiteral("The tokens file holds no token.");
            return false;
        }
        return true;
    }
    options.tokens = splitTokens(qgetenv("QUILLORA_SERVICE_TOKENS"));
    if (options.tokens.isEmpty())
        options.tokens = { defaultToken };
    return true;
}

} // namespace

bool ServiceOptions::upstreamIsDefault() const { return upstreamUrl == ServiceOptions().upstreamUrl; }

QString ServiceOptions::upstreamForDisplay() const
{
    return upstreamUrl.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

std::optional<ServiceOptions> ServiceOptions::parse(
    const QStringList& arguments, const QByteArray& defaultToken, QString* message, int* exitCode)
{
    *exitCode = 2;
    QCommandLineParser parser;
    describeOptions(parser);
    // Qt's own help option would offer --help-all and Qt's options, which a program without an application
    // object does not take.
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption version(
        { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Show the version."));
    parser.addOptions({ help, version });

    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        *exitCode = 0;
        // Without an application object the parser cannot know the program's name.
        *message = parser.isSet(help)
            ? parser.helpText().replace(QLatin1String("<executable_name>"), QLatin1String("quillora-service"))
            : QStringLiteral("quillora-service %1\n").arg(QUILLORA_VERSION);
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }

    ServiceOptions options;
    options.model = parser.value(QStringLiteral("model"));
    options.upstreamKey = qgetenv("QUILLORA_UPSTREAM_KEY").trimmed();
    if (!readListenAddress(parser, options, message) || !readUpstreamUrl(parser, options, message)
        || !readLimits(parser, options, message) || !readTokens(parser, defaultToken, options, message))
        return std::nullopt;
    return options;
}
