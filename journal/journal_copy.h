#pragma once
// A station's journal copied into another, such as the plant's journal on
// a server: each ended run, with its plan and its tickets, becomes a new run
// there, numbered by that journal, that keeps the station and number it had
// ("STATION/N") in copied_from. A run copied before is found by it and
// skipped, so that a copy that stopped part-way is finished by copying
// again. Runs still open are left: their program may still be printing.
// A run numbered as one copied before but started at another time (the
// station's file was made anew) is another run: it keeps
// "STATION/N@STARTED" (ms since the epoch).
//
// The runs go in chunks, a transaction each on the target (CopyChunk), so
// that none holds the writers' lock for long and each stays within the
// journal's time-outs; what a chunk committed stays copied.

#include "journal/journal.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct JournalCopy {
    int copied = 0;
    int alreadyCopied = 0;
    std::vector<std::int64_t> open;  // by their numbers in the journal copied from, as all the lists
    // Copied without their request id, which another run of the target held
    // (the same caller's key used at two stations); the run's message there
    // names it.
    std::vector<std::int64_t> requestIdsLeft;
    // Copied without the run whose rest they print, whose rest another run
    // of the target prints; the run's message there says so.
    std::vector<std::int64_t> restsLeft;
    // Why the copy stopped before the end (a JournalError of either journal);
    // nothing when it reached the end.
    std::optional<std::string> stopped;
};

// How much one transaction on the target takes (at least one run). It
// holds the writers' lock, which the stations printing into that journal
// wait for at most the busy time-out (Journal::busyTimeout) before a run
// stops: a chunk ends well before.
struct CopyChunk {
    int runs = 500;
    std::int64_t tickets = 5'000;  // planned
    std::chrono::milliseconds time{500};
};

// Copies from's ended runs into to, in the order of their numbers.
JournalCopy copyJournal(Journal& from, Journal& to, const CopyChunk& chunk = {});
