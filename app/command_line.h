#pragma once
// travcard's command line. Without arguments the window starts. --help and
// --version are answered without a display and without reading
// travcard.cfg; a sub-command (travcard COMMAND [OPTIONS...]) runs without a
// window; any other argument is refused, so that a mistyped one is not
// silently ignored.

#include <functional>
#include <optional>

// Reads the command line with a QCoreApplication of its own, gone again when
// this returns, so that a QApplication can follow. The exit status once the
// command line has been answered, refused or its sub-command run (after
// beforeSubCommand); nothing when the window is to start.
std::optional<int> answerCommandLine(int& argc, char* argv[], const std::function<void()>& beforeSubCommand);
