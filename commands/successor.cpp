#include "commands/successor.h"

SuccessorIndex::SuccessorIndex(const odbc::ResultSet& candidates) : rowCount_(candidates.rowCount())
{
    if (rowCount_ == 0)
        return;
    const std::size_t oper = candidates.columnIndex("ID_OPER");
    const std::size_t workCenter = candidates.columnIndex("ID_WC");
    for (std::size_t i = 0; i < rowCount_; ++i) {
        const odbc::ResultSet::Row& row = candidates.row(i);
        if (row[oper] && row[workCenter] && *row[workCenter] != "HELP")
            firstMatch_.try_emplace(*row[oper], i);
    }
}

std::optional<std::size_t> SuccessorIndex::successorOf(const odbc::ResultSet::Value& idOper) const
{
    if (!idOper)
        return std::nullopt;
    const auto found = firstMatch_.find(*idOper);
    if (found == firstMatch_.end() || found->second + 1 >= rowCount_)
        return std::nullopt;
    return found->second + 1;
}
