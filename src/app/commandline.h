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
    bool showHelp = false;
    bool showVersion = false;
};

namespace CommandLine {

// Parses the arguments (the program name first). `-` as the text of --explain-text reads all of input. A text
// must be there and may not exceed ServiceHandler::maximumTextLength (input is read no further than needed to
// tell). On bad input returns nothing and sets *error to a one-line reason.
// `--explain-text -- TEXT` takes TEXT as the text; otherwise `--` ends the options.
std::optional<CommandLineRequest> parse(QStringList arguments, QIODevice* input, QString* error);

QString usage();

// How many of the arguments, from the program's name on, Qt may be given. Qt takes its own options (-reverse,
// -style, -platform, ...) out of what it is given, so it must not see the text of --explain-text, nor anything
// from `--` on: those are the user's, whatever they look like.
int toolkitArgumentCount(const QStringList& arguments);

// The unique bus name of the running Quillora: the owner of the well-known name, when it is a Quillora program
// of this user. Nothing (with *error set) otherwise.
std::optional<QString> quilloraOwner(QDBusConnection bus, QString* error);

// Hands the request to the instance that owns the D-Bus name (see quilloraOwner). Blocks: only for a process that is
// about to exit. False (with *error set) when no instance answered.
bool forward(const CommandLineRequest& request, QDBusConnection bus, QString* error);

// Whether this session has a display a Quillora instance could show itself on.
bool sessionHasDisplay();

// A start without a display (ssh, cron): parses the arguments, hands the request to the running Quillora and
// returns the exit status (0 handed over, 1 nobody took it, 2 bad command line), with any message on
// standard error. Needs a QCoreApplication.
int forwardWithoutDisplay(const QStringList& arguments, QIODevice* input);

} // namespace CommandLine
