#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The command line of `quillora` and the handing of its request to the running instance, without Qt: the
// launcher (launcher.h) and the full program both use it, so they take the same command lines and say the same.

// What `quillora` was asked to do on its command line.
struct CommandLineRequest {
    enum class Action { Run, ExplainText, ExplainSelection, AskAnything, ExplainScreenshot };
    Action action = Action::Run;
    std::string text; // for ExplainText, valid UTF-8: as given (or as read from standard input)
    bool textFromInput = false; // the text is (or, before readText(), is still to be) read from standard input
    bool showHelp = false;
    bool showVersion = false;
};

namespace CommandLine {

// Parses the arguments (the program name first). `-` as the text of --explain-text reads all of standard input,
// which readText() does: parse() leaves that text empty. A text given must be there and may not exceed
// QuilloraEntry::maximumTextLength. On a bad command line returns nothing and sets *error to a one-line reason.
// `--explain-text -- TEXT` takes TEXT as the text; otherwise `--` ends the options.
std::optional<CommandLineRequest> parse(const std::vector<std::string>& arguments, std::string* error);

// Reads the text of a request whose text is to come from `fd` (as parse() left it; others are left alone), no
// further than needed to tell it is too long. False, with *error set, when it cannot be read, is empty or too long.
bool readText(int fd, CommandLineRequest& request, std::string* error);

std::string_view usage();

// Prints the usage or the version, as the request asks; returns the exit status.
int printHelpOrVersion(const CommandLineRequest& request);

// Prints the reason a command line is refused, then the usage; returns the exit status, 2.
int refuse(const std::string& error);

// How many of the arguments, from the program's name on, Qt may be given. Qt takes its own options (-reverse,
// -style, -platform, ...) out of what it is given, so it must not see the text of --explain-text, nor anything
// from `--` on: those are the user's, whatever they look like.
int toolkitArgumentCount(const std::vector<std::string>& arguments);

enum class HandOver {
    Done,
    NoInstance, // nobody owns the name (or its owner left before answering): the request went nowhere
    Failed, // no session bus, the owner is not a Quillora of this user, or it refused the request
};

// Hands the request to the instance that owns the D-Bus name, when that is a Quillora program of this user, over
// a session-bus connection of its own; *error is set unless Done. Blocks, at most 5 s a call: only for a process
// that is about to exit.
HandOver handOver(const CommandLineRequest& request, std::string* error);

// Whether this session has a display a Quillora instance could show itself on.
bool sessionHasDisplay();

// A start without a display (ssh, cron): parses the arguments, hands the request to the running Quillora and
// returns the exit status (0 handed over, 1 nobody took it, 2 bad command line), with any message on
// standard error.
int forwardWithoutDisplay(const std::vector<std::string>& arguments);

} // namespace CommandLine
