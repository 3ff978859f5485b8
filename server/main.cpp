// quillora-service: answers Quillora's explanation requests through an OpenAI-compatible Chat Completions API.
#include "explainservice.h"

#include <boost/asio/signal_set.hpp>

#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

// Each request in flight holds two sockets (the client's and the model's): take every descriptor we may.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QString message;
    int exitCode = 0;
    const std::optional<ServiceOptions> options
        = ServiceOptions::parse(arguments, QByteArrayLiteral(QUILLORA_DEFAULT_TOKEN), &message, &exitCode);
    if (!options) {
        std::fputs(qPrintable(exitCode == 0 ? message : QStringLiteral("quillora-service: %1\n").arg(message)),
            exitCode == 0 ? stdout : stderr);
        return exitCode;
    }

    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    boost::asio::io_context context(1);
    ExplainService service(context, *options);
    if (!service.start(&message)) {
        std::fprintf(stderr, "quillora-service: %s\n", qPrintable(message));
        return 1;
    }
    logLine(QStringLiteral("[Service] listening on %1:%2, model %3 at %4")
                .arg(options->listenHost)
                .arg(service.port())
                .arg(options->model.isEmpty() ? QStringLiteral("(first listed)") : options->model,
                    options->upstreamForDisplay())
                .toStdString());
    service.discoverModel();

    boost::asio::signal_set stopSignals(context, SIGINT, SIGTERM);
    stopSignals.async_wait([&context](const boost::system::error_code&, int) { context.stop(); });
    context.run();
    logLine("[Service] stopped");
    return 0;
}
