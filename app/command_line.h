#pragma once
// travcard's command line. Without arguments the window starts. --help and
// --version are answered without a display and without reading
// travcard.cfg; any other argument is refused, so that a mistyped one is not
// silently ignored. Sub-commands are to come as the first positional
// argument (travcard COMMAND [ARGUMENTS...]).

#include <optional>

// Reads the command line with a QCoreApplication of its own, gone again when
// this returns, so that a QApplication can follow. The exit status once the
// command line has been answered or refused; nothing when the window is to
// start.
std::optional<int> answerCommandLine(int& argc, char* argv[]);
