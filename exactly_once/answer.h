#pragma once
// How a command ends for a caller without a window (a script, the ERP over
// HTTP): a status, a stable reason, the messages an operator would have
// read, and the fields of the run. The command line shows the messages on
// standard error and ends with the status; the print service answers with
// the same reason and fields.

#include "exactly_once/print_ending.h"
#include "journal/journal.h"
#include "text/message_box.h"

#include <QJsonObject>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class JournalAccess;

// The command line's exit statuses, which the service's answers follow.
enum ExitStatus : int {
    allSent = 0,
    nothingPrinted = 1,       // nothing to print, or input that is not accepted
    wrongCommandLine = 2,     // usage on standard error
    databaseFault = 3,        // unreachable, lost or not answering
    printerFault = 4,         // before anything was sent
    stoppedPartWay = 5,       // the count message says how many were sent
    inProgressElsewhere = 6,  // another run holds the request id now: try again later
};

// Why a command ended as it did: stable words a caller can act on.
namespace reason {
inline constexpr const char* printed = "printed";
inline constexpr const char* alreadyPrinted = "already_printed";
inline constexpr const char* ready = "ready";
inline constexpr const char* listed = "listed";
inline constexpr const char* badOption = "bad_option";
inline constexpr const char* badQuantity = "bad_quantity";
inline constexpr const char* badRequestId = "bad_request_id";
inline constexpr const char* notFound = "not_found";
inline constexpr const char* wrongPrinterType = "wrong_printer_type";
inline constexpr const char* nothingToPrint = "nothing_to_print";
inline constexpr const char* databaseUnreachable = "database_unreachable";
inline constexpr const char* printerUnavailable = "printer_unavailable";
inline constexpr const char* printerNotReady = "printer_not_ready";
inline constexpr const char* stopped = "stopped";
inline constexpr const char* cancelled = "cancelled";
inline constexpr const char* runEnded = "run_ended";
inline constexpr const char* stopPending = "stop_pending";
inline constexpr const char* inDoubtUnresolved = "in_doubt_unresolved";
inline constexpr const char* requestInProgress = "request_in_progress";
inline constexpr const char* requestConflict = "request_conflict";
inline constexpr const char* restTaken = "rest_taken";
// Given up as its service stopped, before it sent anything: another prints it.
inline constexpr const char* returnedToQueue = "returned_to_queue";
inline constexpr const char* journalUnusable = "journal_unusable";
inline constexpr const char* configUnusable = "config_unusable";
}  // namespace reason

// Keeps every message shown, and shows it also on echo, when there is one.
class AnswerMessages : public MessageBox {
public:
    explicit AnswerMessages(MessageBox* echo = nullptr) : echo_(echo) {}
    void show(const std::string& text, MessageIcon icon) override
    {
        shown.push_back({text, icon});
        if (echo_)
            echo_->show(text, icon);
    }
    std::vector<Message> shown;

private:
    MessageBox* echo_;
};

class Answer {
public:
    // Every ending's fields hold those of base that it does not set.
    explicit Answer(QJsonObject base = {}, MessageBox* echo = nullptr) : messages(echo), base_(std::move(base)) {}
    virtual ~Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    AnswerMessages messages;

    // Ends with status and why, and returns status.
    int end(int status, const char* why, QJsonObject fields = {});
    // Shows text first.
    int refuse(const std::string& text, int status, const char* why, MessageIcon icon = MessageIcon::Critical);

    bool ended() const { return ended_; }
    int status() const { return status_; }
    const std::string& why() const { return why_; }
    // The fields, then exit_status, reason and the messages shown.
    QJsonObject json() const;

protected:
    virtual void ending() {}

private:
    QJsonObject base_;
    QJsonObject fields_;
    bool ended_ = false;
    int status_ = 0;
    std::string why_;
};

const char* outcomeName(PrintEnding outcome);

// The journal's record of a run, read afresh; nothing without a journal.
std::optional<RunRecord> recordOf(const std::shared_ptr<JournalAccess>& journal, std::int64_t run);

// A print run's fields: run, planned, sent, in_doubt, printed (of the
// sent, those the printer proved it printed), outcome.
QJsonObject runFields(const char* outcome, const TicketCount& tickets, const std::optional<RunRecord>& record);
// The fields of an answer that printed nothing: no run, nothing planned.
QJsonObject noRunFields(const char* outcome = "refused");

// A whole number from 1 to most, as a script must write it: digits only.
std::optional<int> strictCount(const QString& typed, int most);
inline constexpr int maxQuantity = 32767;
inline constexpr int maxCopies = 999;

// How a print run ended, for its caller.
struct RunEnding {
    int status;
    const char* reason;
};
RunEnding runEnding(PrintEnding outcome, bool journalRefused, const TicketCount& tickets);

template <class Result>
int finishRun(const Result& result, const std::optional<RunRecord>& record, Answer& answer)
{
    const RunEnding ending = runEnding(result.outcome, result.journalRefused, result.tickets);
    return answer.end(ending.status, ending.reason, runFields(outcomeName(result.outcome), result.tickets, record));
}
