#pragma once

// `quillora` as users, desktop shortcuts, the desktop entry, autostart and D-Bus activation start it. Every press
// of a key bound to `quillora --explain-selection` starts one, so it links no Qt, only libsystemd's D-Bus client:
// when a Quillora runs in the session it hands the request over with one D-Bus call and exits; help and version
// it answers itself. Otherwise (no instance, Qt's own options such as -platform, a command line it does not take
// as a whole) it replaces itself with the full program, which does what it is asked as it always has (and
// answers a bad command line).
namespace Launcher {

// Runs the launcher; `program` is the full program's path relative to the folder of this executable.
// Returns only when the full program was not started: the exit status.
int run(int argc, char* argv[], const char* program);

} // namespace Launcher
