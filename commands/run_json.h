#pragma once
// A run of the print journal as JSON, for a caller without a window: the
// command line's history --json and the print service's runs; and its
// count of tickets sent, as every list of runs shows it.

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

// "K of M" (confirmed of planned), with what the printer proved it printed:
// "1714 of 1714 (printed)" when it proved every confirmed ticket, "212 of
// 1714 (205 printed)" when some.
std::string sentOfPlanned(const RunRecord& run);

// The run's fields and each ticket's position, operation, copy and state,
// with the part number and the operation's description it carries.
// A run that ended printed, every planned ticket proven printed, has the
// outcome "printed_proven".
QJsonObject runJson(const RunRecord& run, const std::vector<TicketRecord>& tickets);
