#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>

#include <optional>

class QIODevice;

// What `quillora` was asked to do on its command line.
struct CommandLineRequest {
    enum class Action { Run, ExplainText, ExplainSelection, AskAnything, ExplainScreenshot };
    Action action = Action::Run;
    QString text; // for ExplainText, exactly as given (or as read from standard input)
    bool textFromInput = false; // the text is (or, when parsed without input, is still to be) read from input
    bool showHelp = false;
    bool showVersion = false;
};

namespace CommandLine {

// Parses the arguments (the program name first). `-` as the text of --explain-text reads all of input; without
// input (nullptr) nothing is read and the text is left empty. A text must be there and may not exceed
// QuilloraEntry::maximumTextLength (input is read no further than needed to tell). On bad input returns nothing
// and sets *error to a one-line reason.
// `--explain-text -- TEXT` takes TEXT as the text; otherwise `--` ends the options.
std::optional<CommandLineRequest> parse(QStringList arguments, QIODevice* input, QString* error);

QString usage();

// Prints the usage or the version, as the request asks; returns the exit status.
int printHelpOrVersion(const CommandLineRequest& request);

// How many of the arguments, from the program's name on, Qt may be given. Qt takes its own options (-reverse,
// -style, -platform, ...) out of what it is given, so it must not see the text of --explain-text, nor anything
// from `--` on: those are the user's, whatever they look like.
int toolkitArgumentCount(const QStringList& arguments);

// The unique bus name of the running Quillora: the owner of the well-known name, when it is a Quillora program
// of this user. Nothing (with *error set) otherwise.
std::optional<QString> quilloraOwner(QDBusConnection bus, QString* error);

enum class HandOver {
    Done,
    NoInstance, // nobody owns the name (or its owner left before answering): the request went nowhere
    Failed, // the owner is not a Quillora of this user, or it refused the request
};

// Hands the request to the instance that owns the D-Bus name (see quilloraOwner), with *error set unless Done.
// Blocks: only for a process that is about to exit.
HandOver handOver(const CommandLineRequest& request, QDBusConnection bus, QString* error);

// handOver(), Done or not: false (with *error set) when no instance took the request.
bool forward(const CommandLineRequest& request, QDBusConnection bus, QString* error);

// Whether this session has a display a Quillora instance could show itself on.
bool sessionHasDisplay();

// A start without a display (ssh, cron): parses the arguments, hands the request to the running Quillora and
// returns the exit status (0 handed over, 1 nobody took it, 2 bad command line), with any message on
// standard error. Needs a QCoreApplication.
int forwardWithoutDisplay(const QStringList& arguments, QIODevice* input);

} // namespace CommandLine
