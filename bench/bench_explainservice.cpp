// quillora-service under load, against an in-process stub model API on loopback. Prints: the time the service
// adds to a request over calling the stub directly; 1,000 requests at once with a model that takes 2 s
// (time until all are answered, the service's peak memory, errors); requests per second with an instant
// model, beside the same stub called directly; 1,000 streamed answers at once from a model that writes its first
// word after 500 ms and then one every 20 ms, 300 in all (time until all are complete, the service's peak memory).
//   build/<dir>/bench/bench_explainservice
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using asio::awaitable;
using asio::use_awaitable;

namespace {

std::atomic<int> g_modelDelayMs { 0 };
const std::string chatAnswer
    = R"({"choices":[{"message":{"role":"assistant","content":"A closure keeps the variables it uses."}}]})";
const std::string explainBody
    = R"({"selectedText":"closure","appContext":{"appName":"Code","bundleID":"code","appCategory":"code_editor","windowTitle":"main.cpp"},"userId":"B"})";
const std::string chatBody
    = R"({"model":"m","messages":[{"role":"system","content":"You explain."},{"role":"user","content":"Explain: closure concisely"}],"stream":false})";

constexpr int streamedWords = 300;

// A streamed answer as a local model writes it: the first word after 500 ms, then one every 20 ms.
awaitable<void> streamAnswer(beast::tcp_stream& stream, unsigned version, beast::error_code& ec)
{
    http::response<http::empty_body> header { http::status::ok, version };
    header.set(http::field::content_type, "text/event-stream");
    header.chunked(true);
    http::response_serializer<http::empty_body> serializer { header };
    co_await http::async_write_header(stream, serializer, asio::redirect_error(use_awaitable, ec));
    static const std::string word = "data: {\"choices\":[{\"delta\":{\"content\":\"word \"}}]}\n\n";
    static const std::string done = "data: [DONE]\n\n";
    asio::steady_timer pace(stream.get_executor());
    for (int i = 0; i <= streamedWords && !ec; ++i) {
        pace.expires_after(std::chrono::milliseconds(i == 0 ? 500 : 20));
        co_await pace.async_wait(use_awaitable);
        const std::string& piece = i < streamedWords ? word : done;
        co_await asio::async_write(stream, http::make_chunk(asio::buffer(piece)), asio::redirect_error(use_awaitable, ec));
    }
    if (!ec)
        co_await asio::async_write(stream, http::make_chunk_last(), asio::redirect_error(use_awaitable, ec));
}

// The stub model: answers every request after the current delay, keeping connections alive; streams when asked.
awaitable<void> modelConnection(tcp::socket socket)
{
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;
    for (;;) {
        http::request<http::string_body> request;
        beast::error_code ec;
        co_await http::async_read(stream, buffer, request, asio::redirect_error(use_awaitable, ec));
        if (ec)
            co_return;
        if (request.body().find("\"stream\":true") != std::string::npos) {
            co_await streamAnswer(stream, request.version(), ec);
            if (ec || !request.keep_alive())
                co_return;
            continue;
        }
        if (const int delay = g_modelDelayMs.load(); delay > 0) {
            asio::steady_timer timer(stream.get_executor(), std::chrono::milliseconds(delay));
            co_await timer.async_wait(use_awaitable);
        }
        http::response<http::string_body> response { http::status::ok, request.version() };
        response.set(http::field::content_type, "application/json");
        response.keep_alive(request.keep_alive());
        response.body() = chatAnswer;
        response.prepare_payload();
        co_await http::async_write(stream, response, asio::redirect_error(use_awaitable, ec));
        if (ec || !request.keep_alive())
            co_return;
    }
}

awaitable<void> modelListener(tcp::acceptor& acceptor)
{
    for (;;) {
        tcp::socket socket = co_await acceptor.async_accept(use_awaitable);
        asio::co_spawn(acceptor.get_executor(), modelConnection(std::move(socket)), asio::detached);
    }
}

struct Sample {
    std::vector<double> latenciesMs;
    int errors = 0;
    long completed = 0;
};

// One client connection sending `count` requests one after the other (or until `until`); a streamed answer counts
// once it is complete.
awaitable<void> client(unsigned short port, std::string target, const std::string& body, int count,
    Clock::time_point until, Sample& sample, bool streamed)
{
    beast::tcp_stream stream(co_await asio::this_coro::executor);
    beast::error_code ec;
    co_await stream.async_connect(
        tcp::endpoint(asio::ip::address_v4::loopback(), port), asio::redirect_error(use_awaitable, ec));
    if (ec) {
        ++sample.errors;
        co_return;
    }
    beast::flat_buffer buffer;
    for (int i = 0; i < count && Clock::now() < until; ++i) {
        http::request<http::string_body> request { http::verb::post, target, 11 };
        request.set(http::field::host, "127.0.0.1");
        request.set(http::field::authorization, "Bearer plumtreebarn");
        request.set(http::field::content_type, "application/json");
        if (streamed)
            request.set(http::field::accept, "text/event-stream");
        request.body() = body;
        request.prepare_payload();
        const auto start = Clock::now();
        co_await http::async_write(stream, request, asio::redirect_error(use_awaitable, ec));
        http::response<http::string_body> response;
        if (!ec)
            co_await http::async_read(stream, buffer, response, asio::redirect_error(use_awaitable, ec));
        if (ec || response.result_int() != 200
            || (streamed && response.body().find("event: done") == std::string::npos)) {
            ++sample.errors;
            co_return;
        }
        sample.latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        ++sample.completed;
    }
}

Sample run(unsigned short port, const std::string& target, const std::string& body, int connections, int perConnection,
    std::chrono::seconds limit = std::chrono::seconds(60), bool streamed = false)
{
    asio::io_context context;
    Sample sample;
    const auto until = Clock::now() + limit;
    for (int i = 0; i < connections; ++i)
        asio::co_spawn(context, client(port, target, body, perConnection, until, sample, streamed), asio::detached);
    context.run();
    return sample;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

long statusKb(pid_t pid, const char* key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    return -1;
}

unsigned short freePort()
{
    asio::io_context context;
    tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
}

bool answers(unsigned short port)
{
    asio::io_context context;
    tcp::socket socket(context);
    beast::error_code ec;
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
    return !ec;
}

} // namespace

int main()
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    // The stub model, on its own thread.
    asio::io_context modelContext(1);
    tcp::acceptor modelAcceptor(modelContext, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    modelAcceptor.listen(4096);
    const unsigned short modelPort = modelAcceptor.local_endpoint().port();
    asio::co_spawn(modelContext, modelListener(modelAcceptor), asio::detached);
    std::thread modelThread([&] { modelContext.run(); });

    const unsigned short servicePort = freePort();
    const std::string listen = "127.0.0.1:" + std::to_string(servicePort);
    const std::string upstream = "http://127.0.0.1:" + std::to_string(modelPort) + "/v1";
    const pid_t service = fork();
    if (service == 0) {
        std::freopen("/dev/null", "w", stdout);
        execl(QUILLORA_SERVICE_PROGRAM, "quillora-service", "--listen", listen.c_str(), "--upstream-url",
            upstream.c_str(), "--model", "m", "--rate-per-address", "0", "--rate-per-user", "0", "--max-in-flight",
            "2000", "--max-connections", "5000", static_cast<char*>(nullptr));
        _exit(127);
    }
    while (!answers(servicePort))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("quillora-service pid %d, model stub on port %u\n\n", service, modelPort);

    // 1. Time added per request: one connection, requests one after another.
    run(servicePort, "/v1/explain", explainBody, 1, 200); // warm-up
    const Sample direct = run(modelPort, "/v1/chat/completions", chatBody, 1, 2000);
    const Sample via = run(servicePort, "/v1/explain", explainBody, 1, 2000);
    std::printf("Per request, 2000 one after another: stub directly median %.3f ms (p99 %.3f), through the "
                "service median %.3f ms (p99 %.3f); the service adds %.3f ms at the median\n",
        percentile(direct.latenciesMs, 0.5), percentile(direct.latenciesMs, 0.99), percentile(via.latenciesMs, 0.5),
        percentile(via.latenciesMs, 0.99), percentile(via.latenciesMs, 0.5) - percentile(direct.latenciesMs, 0.5));

    // 2. 1,000 requests at once, each answered by the model after 2 s.
    g_modelDelayMs = 2000;
    const long rssBefore = statusKb(service, "VmRSS:");
    const auto start = Clock::now();
    const Sample burst = run(servicePort, "/v1/explain", explainBody, 1000, 1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("1000 at once, model answering after 2 s: all done in %.2f s, %ld answered, %d errors, slowest "
                "%.0f ms; service memory %ld MB before, peak %ld MB\n",
        seconds, burst.completed, burst.errors, percentile(burst.latenciesMs, 1.0), rssBefore / 1024,
        statusKb(service, "VmHWM:") / 1024);

    // 3. Throughput with an instant model: 64 connections for 3 s each way.
    g_modelDelayMs = 0;
    const auto throughput = [](unsigned short port, const std::string& target, const std::string& body) {
        const auto begin = Clock::now();
        const Sample s = run(port, target, body, 64, 1'000'000, std::chrono::seconds(3));
        return std::make_pair(
            double(s.completed) / std::chrono::duration<double>(Clock::now() - begin).count(), s.errors);
    };
    const auto [directRate, directErrors] = throughput(modelPort, "/v1/chat/completions", chatBody);
    const auto [serviceRate, serviceErrors] = throughput(servicePort, "/v1/explain", explainBody);
    std::printf("Requests per second, 64 connections, instant model: stub directly %.0f/s (%d errors), through the "
                "service %.0f/s (%d errors)\n",
        directRate, directErrors, serviceRate, serviceErrors);

    // 4. 1,000 streamed answers at once.
    const auto streamsStart = Clock::now();
    const Sample streams = run(servicePort, "/v1/explain", explainBody, 1000, 1, std::chrono::seconds(60), true);
    std::printf("1000 streamed answers at once (%d words, the first after 500 ms, then one every 20 ms): all done in "
                "%.2f s, %ld complete, %d errors; service peak memory %ld MB\n",
        streamedWords, std::chrono::duration<double>(Clock::now() - streamsStart).count(), streams.completed,
        streams.errors, statusKb(service, "VmHWM:") / 1024);

    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    modelContext.stop();
    modelThread.join();
    return 0;
}
