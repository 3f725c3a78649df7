#pragma once
// The next operation of a printed operation: among all operations of the
// order, in the order the database returned them, find the first row with
// the same ID_OPER whose ID_WC is not "HELP" (a NULL never matches); the row
// after it is the successor, whatever its type. Without such a row, or when
// it is the last one, there is none.
//
// The candidate rows are indexed once, so a run over n operations costs
// linear time instead of a scan per operation.

#include "db/odbc.h"

#include <optional>
#include <string>
#include <unordered_map>

class SuccessorIndex {
public:
    explicit SuccessorIndex(const odbc::ResultSet& candidates);

    // The candidate row that follows operation idOper, if any.
    std::optional<std::size_t> successorOf(const odbc::ResultSet::Value& idOper) const;

private:
    std::unordered_map<std::string, std::size_t> firstMatch_;
    std::size_t rowCount_;
};
