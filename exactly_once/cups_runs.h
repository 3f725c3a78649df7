#pragma once
// A cups: run is confirmed only once CUPS has completed its job. A job still
// under way when its run ended leaves the run's tickets in doubt, with the
// job's id kept in the journal; a later look (History, travcard history,
// the service's run) asks the scheduler again, and a job completed since
// confirms them.

#include "journal/journal.h"

#include <chrono>
#include <cstdint>

// Confirms the tickets of the runs in doubt whose CUPS job the scheduler
// (the one libcups finds) has completed since: of the newest settleLimit
// such runs, or of only that run when not 0. Returns how many runs were
// confirmed. The scheduler is asked over one connection that waits at most
// settleWait for each answer; one that cannot be reached confirms nothing.
// Throws JournalError.
int settleCupsRuns(Journal& journal, std::int64_t only = 0);

inline constexpr int settleLimit = 50;
inline constexpr std::chrono::milliseconds settleWait{2000};
