#pragma once
// What the database benchmarks share: one connection to the data source
// xfODBC (ODBCSYSINI and ODBCINI select it), opened as start-up opens it,
// and a message box that records every message, so that a benchmark stops
// at the first one instead of timing a refused command.

#include "commands/order_lookup.h"
#include "commands/startup.h"
#include "db/database_session.h"
#include "text/message_box.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

class RecordedMessages : public MessageBox {
public:
    void show(const std::string& text, MessageIcon) override { shown.push_back(text); }
    std::vector<std::string> shown;
};

struct BenchSession {
    DatabaseSession db{databaseConnectionString(), driverTimeouts};
    RecordedMessages messages;
    LocateResult located;  // the last order located
};

// The process's session, connected on first use.
BenchSession& benchSession();

// Skips the benchmark with the first recorded message, if there is one.
// True when no message was shown.
bool noMessageShown(benchmark::State& bench, const RecordedMessages& messages);

// Locates the order as the Locate button does, keeping the result in located.
// Skips the benchmark unless the order and its operations were found.
bool locateOrSkip(benchmark::State& bench, BenchSession& session, const LocateRequest& order);

// The number of rows in a table of the data source, e.g. PUBLIC.SHPORD_HDR.
double rowsIn(BenchSession& session, const std::string& table);
