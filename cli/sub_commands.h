#pragma once
// travcard's sub-commands, for the ERP, a script or IT: print, nested and
// setup-printer do what the windows' Print, nested Print and Setup Printer
// do, with the same queries, bytes and message texts. Each message goes to
// standard error as one line; the exit status says how it ended.

#include "exactly_once/answer.h"

#include <QStringList>

#include <chrono>
#include <string>

namespace cli {

// The exit statuses (exactly_once/answer.h): 0 all sent, 1 nothing printed, 2 a
// wrong command line, 3 a database fault, 4 a printer fault, 5 stopped
// part-way, 6 in progress elsewhere.
using ::ExitStatus;
using enum ::ExitStatus;

struct Environment {
    std::string programDir;  // where travcard.cfg is read
    std::chrono::milliseconds databaseTimeout{std::chrono::seconds(30)};  // tests shorten it
};

// Whether word names a sub-command.
bool isSubCommand(const QString& word);

// Runs the sub-command that arguments name: the program's name, the
// sub-command, then its options. Needs a QCoreApplication; returns the exit
// status.
int runSubCommand(const QStringList& arguments, const Environment& environment);

// Asks a running print to stop after the ticket it is sending, or the one
// about to start to print nothing; false when no print sub-command runs.
// Safe from any thread, not from a signal handler.
bool stopPrinting();

}  // namespace cli
