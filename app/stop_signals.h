#pragma once
// SIGTERM, SIGINT and SIGHUP, which ask a program to end: a desktop logging
// out, Ctrl+C, a closed terminal. Their handler only writes the signal's
// number to a pipe; the program reads it where it is safe to act, the window
// on its event loop and a sub-command on a thread of its own, and stops a
// running print after the ticket it is sending, as Cancel does.

namespace stop_signals {

// Catches the three signals from now on (with SA_RESTART), except one that
// the program was started ignoring, as under nohup. Returns the pipe's
// reading end, which never blocks; the same each time it is called. -1,
// with the signals left as they were, when no pipe can be made.
int catchThem();

// The next signal caught, or 0 when none is waiting.
int next();

// Ends the program as the signal would have without a handler.
[[noreturn]] void endAsSignalled(int signal);

}  // namespace stop_signals
