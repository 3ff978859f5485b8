#include "commandline/commandline.h"

#include "commandline/quilloraentry.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace CommandLine {

namespace {

constexpr std::string_view usageText
    = "Usage: quillora [--explain-text TEXT | --explain-selection | --explain-screenshot | --ask]\n"
      "\n"
      "Without an option, starts Quillora (one instance per session).\n"
      "With an option, hands the request to the running Quillora, starting it when none runs.\n"
      "\n"
      "Options:\n"
      "  --explain-text <TEXT>  Explain TEXT; '-' reads the text from standard input.\n"
      "  --explain-selection    Explain the text selected in the active application.\n"
      "  --explain-screenshot   Drag out a region of the screen and explain it.\n"
      "  --ask                  Open the card to ask a question.\n"
      "  -h, --help             Show this help.\n"
      "  -v, --version          Show the version.\n";

constexpr std::string_view textOption = "--explain-text";

// The bytes as valid UTF-8: each byte that does not belong to a well-formed sequence becomes U+FFFD, as Qt
// decodes it. *units is set to the text's length in UTF-16 code units, the unit of the limit.
std::string validUtf8(std::string_view bytes, std::ptrdiff_t* units)
{
    std::string text;
    text.reserve(bytes.size());
    *units = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = [&](std::size_t at) { return at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0; };
        const unsigned lead = byte(i);
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF; // the range of the second byte
        if (lead < 0x80)
            length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        bool wellFormed = length > 0;
        for (std::size_t k = 1; wellFormed && k < length; ++k) {
            const unsigned next = byte(i + k);
            wellFormed = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        }
        if (!wellFormed) {
            text += "\xEF\xBF\xBD";
            ++*units;
            ++i;
            continue;
        }
        text.append(bytes.substr(i, length));
        *units += length == 4 ? 2 : 1;
        i += length;
    }
    return text;
}

// Takes `bytes` as the request's text, if it is one to explain.
bool takeText(std::string_view bytes, CommandLineRequest& request, std::string* error)
{
    std::ptrdiff_t units = 0;
    request.text = validUtf8(bytes, &units);
    if (request.text.empty()) {
        *error = "There is no text to explain.";
        return false;
    }
    if (units > QuilloraEntry::maximumTextLength) {
        *error = QuilloraEntry::tooLongMessage();
        return false;
    }
    return true;
}

} // namespace

std::string_view usage() { return usageText; }

int printHelpOrVersion(const CommandLineRequest& request)
{
    if (request.showHelp)
        std::fwrite(usageText.data(), 1, usageText.size(), stdout);
    else
        std::printf("quillora %s\n", QUILLORA_VERSION);
    return 0;
}

int refuse(const std::string& error)
{
    std::fprintf(stderr, "quillora: %s\n\n%.*s", error.c_str(), int(usageText.size()), usageText.data());
    return 2;
}

int toolkitArgumentCount(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--")
            return int(i);
        if (arguments[i] == textOption)
            return int(std::min(i + 1, arguments.size()));
    }
    return int(arguments.size());
}

std::optional<CommandLineRequest> parse(const std::vector<std::string>& arguments, std::string* error)
{
    std::vector<std::string_view> texts;
    bool selection = false, screenshot = false, ask = false, help = false, version = false, optionsEnded = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            *error = "Unexpected argument '" + std::string(argument) + "'.";
            return std::nullopt;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument[1] != '-') { // short options, which may be run together: -h, -v, -hv
            for (const char option : argument.substr(1)) {
                if (option != 'h' && option != 'v') {
                    *error = std::string("Unknown option '") + option + "'.";
                    return std::nullopt;
                }
                (option == 'h' ? help : version) = true;
            }
            continue;
        }
        const std::size_t assign = argument.find('=');
        const std::string_view option = argument.substr(0, assign);
        if (option == textOption) {
            if (assign != std::string_view::npos) {
                texts.push_back(argument.substr(assign + 1));
                continue;
            }
            if (i + 1 == arguments.size()) {
                *error = "Missing value after '" + std::string(option) + "'.";
                return std::nullopt;
            }
            // `--explain-text -- TEXT` explains TEXT (a text that starts with a dash, say).
            if (arguments[i + 1] == "--" && i + 2 < arguments.size())
                ++i;
            texts.push_back(arguments[++i]);
            continue;
        }
        bool* flag = option == "--explain-selection" ? &selection
            : option == "--explain-screenshot"       ? &screenshot
            : option == "--ask"                      ? &ask
            : option == "--help"                     ? &help
            : option == "--version"                  ? &version
                                                     : nullptr;
        if (!flag) {
            *error = "Unknown option '" + std::string(option.substr(2)) + "'.";
            return std::nullopt;
        }
        if (assign != std::string_view::npos) {
            *error = "Unexpected value after '" + std::string(option) + "'.";
            return std::nullopt;
        }
        *flag = true;
    }
    if (texts.size() + int(selection) + int(screenshot) + int(ask) > 1) {
        *error = "Give at most one of --explain-text, --explain-selection, --explain-screenshot and --ask.";
        return std::nullopt;
    }

    CommandLineRequest request;
    request.showHelp = help;
    request.showVersion = version;
    if (selection)
        request.action = CommandLineRequest::Action::ExplainSelection;
    else if (screenshot)
        request.action = CommandLineRequest::Action::ExplainScreenshot;
    else if (ask)
        request.action = CommandLineRequest::Action::AskAnything;
    else if (!texts.empty()) {
        request.action = CommandLineRequest::Action::ExplainText;
        request.textFromInput = texts.front() == "-";
        if (!request.textFromInput && !takeText(texts.front(), request, error))
            return std::nullopt;
    }
    return request;
}

bool readText(int fd, CommandLineRequest& request, std::string* error)
{
    if (request.action != CommandLineRequest::Action::ExplainText || !request.textFromInput)
        return true;
    // Reads no further than the longest text that could still be within the limit (4 bytes a character).
    const std::size_t enough = std::size_t(QuilloraEntry::maximumTextLength) * 4 + 1;
    std::string bytes(enough, '\0');
    std::size_t got = 0;
    while (got < enough) {
        const ssize_t n = ::read(fd, bytes.data() + got, enough - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && got == 0) {
            *error = "Cannot read the text from standard input.";
            return false;
        }
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    if (got >= enough) {
        *error = QuilloraEntry::tooLongMessage();
        return false;
    }
    bytes.resize(got);
    return takeText(bytes, request, error);
}

namespace {

constexpr std::uint64_t callTimeoutMicroseconds = 5'000'000;

using Bus = std::unique_ptr<sd_bus, decltype(&sd_bus_close_unref)>;
using Message = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
    std::string message(int result) const { return error.message ? error.message : std::strerror(-result); }
};

// The reply of the bus daemon's `method` about `name`, or nothing.
Message askTheBus(sd_bus* bus, const char* method, const char* name)
{
    Error error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
            &error.error, &reply, "s", name)
        < 0)
        return Message(nullptr, &sd_bus_message_unref);
    return Message(reply, &sd_bus_message_unref);
}

std::optional<std::uint32_t> readNumber(const Message& reply)
{
    std::uint32_t number = 0;
    if (!reply || sd_bus_message_read(reply.get(), "u", &number) < 0)
        return std::nullopt;
    return number;
}

// Whether process `pid` runs a program named quillora, or this very program.
bool runsQuillora(std::uint32_t pid)
{
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    std::string path(target, std::size_t(length));
    // A program replaced on disk since it started, as a package upgrade does, reads "<path> (deleted)".
    constexpr std::string_view replaced = " (deleted)";
    if (path.ends_with(replaced))
        path.resize(path.size() - replaced.size());
    if (path.substr(path.rfind('/') + 1) == "quillora")
        return true;
    const std::unique_ptr<char, decltype(&std::free)> program(::realpath(path.c_str(), nullptr), &std::free);
    const std::unique_ptr<char, decltype(&std::free)> self(::realpath("/proc/self/exe", nullptr), &std::free);
    return program && self && std::strcmp(program.get(), self.get()) == 0;
}

// The unique bus name of the running Quillora: the owner of the well-known name, when it is a Quillora program
// of this user. Nothing (with *error set) otherwise.
std::optional<std::string> quilloraOwner(sd_bus* bus, std::string* error)
{
    const Message ownerReply = askTheBus(bus, "GetNameOwner", QuilloraEntry::serviceName);
    const char* owner = nullptr;
    if (!ownerReply || sd_bus_message_read(ownerReply.get(), "s", &owner) < 0 || !owner || !*owner) {
        *error = "no Quillora is running in this session.";
        return std::nullopt;
    }
    const std::string name = owner;
    const std::optional<std::uint32_t> uid = readNumber(askTheBus(bus, "GetConnectionUnixUser", name.c_str()));
    const std::optional<std::uint32_t> pid = readNumber(askTheBus(bus, "GetConnectionUnixProcessID", name.c_str()));
    if (!uid || *uid != ::getuid() || !pid || !runsQuillora(*pid)) {
        *error = std::string("the program that holds the name ") + QuilloraEntry::serviceName
            + " is not a Quillora of this user; nothing was sent.";
        return std::nullopt;
    }
    return name;
}

// A connection to the session bus, authenticated and greeted within a call's time; nothing (with *error set)
// otherwise.
Bus connectToSessionBus(std::string* error)
{
    sd_bus* opened = nullptr;
    int result = sd_bus_open_user(&opened);
    Bus bus(opened, &sd_bus_close_unref);
    if (result >= 0)
        result = sd_bus_set_method_call_timeout(bus.get(), callTimeoutMicroseconds);
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + microseconds(callTimeoutMicroseconds);
    while (result >= 0 && sd_bus_is_ready(bus.get()) <= 0) {
        result = sd_bus_process(bus.get(), nullptr);
        const microseconds left = duration_cast<microseconds>(deadline - steady_clock::now());
        if (result == 0)
            result = left.count() > 0 ? sd_bus_wait(bus.get(), std::uint64_t(left.count())) : -ETIMEDOUT;
        else if (result > 0 && left.count() <= 0)
            result = -ETIMEDOUT;
    }
    if (result < 0) {
        *error = std::string("no D-Bus session bus: ") + std::strerror(-result);
        bus.reset();
    }
    return bus;
}

bool nameHasOwner(sd_bus* bus)
{
    const Message reply = askTheBus(bus, "NameHasOwner", QuilloraEntry::serviceName);
    int owned = 1;
    // When the bus does not say, the name is taken as owned: the caller then reports the failure, and nothing
    // starts a second instance on a guess.
    if (reply && sd_bus_message_read(reply.get(), "b", &owned) < 0)
        owned = 1;
    return owned != 0;
}

} // namespace

HandOver handOver(const CommandLineRequest& request, std::string* error)
{
    const Bus bus = connectToSessionBus(error);
    if (!bus)
        return HandOver::Failed;

    // The request goes to the connection that owns the name now, and only when that is a Quillora of this user:
    // texts are not handed to whichever program took the name meanwhile.
    const std::optional<std::string> owner = quilloraOwner(bus.get(), error);
    if (!owner)
        return nameHasOwner(bus.get()) ? HandOver::Failed : HandOver::NoInstance;
    const char* method = "OpenSettings";
    switch (request.action) {
    case CommandLineRequest::Action::Run:
        // Started again (the application grid, a menu): the running instance shows its settings, the one window
        // of a program that lives in the tray, and on a desktop without a tray the only road to them.
        break;
    case CommandLineRequest::Action::ExplainText:
        method = "ExplainText";
        break;
    case CommandLineRequest::Action::ExplainSelection:
        method = "ExplainSelection";
        break;
    case CommandLineRequest::Action::AskAnything:
        method = "AskAnything";
        break;
    case CommandLineRequest::Action::ExplainScreenshot:
        method = "ExplainScreenshot";
        break;
    }
    Error callError;
    const bool withText = request.action == CommandLineRequest::Action::ExplainText;
    const int result
        = sd_bus_call_method(bus.get(), owner->c_str(), QuilloraEntry::objectPath, QuilloraEntry::interfaceName, method,
            &callError.error, nullptr, withText ? "s" : nullptr, request.text.c_str());
    if (result < 0) {
        *error = callError.message(result);
        return nameHasOwner(bus.get()) ? HandOver::Failed : HandOver::NoInstance;
    }
    return HandOver::Done;
}

bool sessionHasDisplay()
{
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

int forwardWithoutDisplay(const std::vector<std::string>& arguments)
{
    std::string error;
    std::optional<CommandLineRequest> request = parse(arguments, &error);
    if (!request || !readText(STDIN_FILENO, *request, &error))
        return refuse(error);
    if (request->action == CommandLineRequest::Action::Run) {
        std::fprintf(stderr, "quillora: there is no display to show Quillora on.\n");
        return 1;
    }
    if (handOver(*request, &error) != HandOver::Done) {
        std::fprintf(stderr, "quillora: the request was not handed over: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace CommandLine
