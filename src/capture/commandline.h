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

// Parses the arguments (the program name first). `-` as the text of --explain-text reads all of input.
// On bad input returns nothing and sets *error to a one-line reason.
std::optional<CommandLineRequest> parse(const QStringList& arguments, QIODevice* input, QString* error);

QString usage();

// Hands the request to the instance that owns the D-Bus name. Blocks: only for a process that is
// about to exit. False (with *error set) when no instance answered.
bool forward(const CommandLineRequest& request, QDBusConnection bus, QString* error);

} // namespace CommandLine
