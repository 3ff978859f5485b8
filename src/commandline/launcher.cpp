#include "commandline/launcher.h"

#include "commandline/commandline.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// `program` relative to the folder of this executable, with symbolic links to it resolved.
std::string besideThisProgram(const char* program)
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return program;
    const std::string path(self, size_t(length));
    return path.substr(0, path.rfind('/') + 1) + program;
}

// Makes the text this process has read from standard input the standard input of the program it becomes.
bool becomeStandardInput(const std::string& text)
{
    const int fd = ::memfd_create("quillora-text", 0);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        written += size_t(n);
    }
    const bool done = ::lseek(fd, 0, SEEK_SET) == 0 && ::dup2(fd, STDIN_FILENO) == STDIN_FILENO;
    ::close(fd);
    return done;
}

// Replaces this process with the full program, with the same arguments and environment; the text already read
// from standard input, if any, is its standard input. Returns (1, with the reason printed) only on failure.
int startFullProgram(char* argv[], const char* program, const std::string* textRead)
{
    const std::string path = besideThisProgram(program);
    if (textRead && !becomeStandardInput(*textRead)) {
        std::fprintf(stderr, "quillora: cannot pass the text on: %s\n", std::strerror(errno));
        return 1;
    }
    ::execv(path.c_str(), argv);
    std::fprintf(stderr, "quillora: cannot start %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
}

} // namespace

int Launcher::run(int argc, char* argv[], const char* program)
{
    const std::vector<std::string> arguments(argv, argv + argc);
    // Standard input is read only once the request is known to be the launcher's to hand over.
    std::string error;
    std::optional<CommandLineRequest> request = CommandLine::parse(arguments, &error);
    if (request && (request->showHelp || request->showVersion))
        return CommandLine::printHelpOrVersion(*request);
    // Starting Quillora itself, Qt's options and bad command lines are the full program's.
    if (!request || request->action == CommandLineRequest::Action::Run)
        return startFullProgram(argv, program, nullptr);
    if (!CommandLine::readText(STDIN_FILENO, *request, &error))
        return CommandLine::refuse(error);

    switch (CommandLine::handOver(*request, &error)) {
    case CommandLine::HandOver::Done:
        return 0;
    case CommandLine::HandOver::NoInstance:
        // The full program starts the instance and does the request itself.
        return startFullProgram(argv, program, request->textFromInput ? &request->text : nullptr);
    case CommandLine::HandOver::Failed:
        break;
    }
    std::fprintf(stderr, "quillora: the request was not handed over: %s\n", error.c_str());
    return 1;
}
