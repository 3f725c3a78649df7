#pragma once
// A run of the print journal as JSON, for a caller without a window: the
// command line's history --json and the print service's runs.

#include "journal/journal.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

// ISO 8601 in the station's time with its offset from UTC, to the
// millisecond: 2026-12-10T05:02:03.123+01:00 (+00:00 in UTC).
QString isoTime(std::int64_t ms);

// "running" while the run has not ended.
std::string outcomeOf(const RunRecord& run);

// The run's fields and each ticket's position, operation, copy and state.
QJsonObject runJson(const RunRecord& run, const std::vector<TicketRecord>& tickets);
