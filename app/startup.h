#pragma once
// The load step of the main window: read travcard.cfg, check the printer
// type, open the database connection and the start-up query. Each step
// reports its own fault; a fault ends the program.

#include "platform/message_box.h"
#include "platform/database_session.h"
#include "platform/printer_settings.h"

#include <optional>
#include <string>

// Reads and checks the configuration in programDir. On a fault shows its
// message(s) and returns nothing.
std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages);

// Connects cn and opens the start-up query into rs. On a database error
// shows its number and text and returns false.
bool openDatabase(DatabaseSession& db, MessageBox& messages);

inline constexpr const char* connectionString = "DSN=xfODBC;UID=tkr;PWD=opr_relay";
