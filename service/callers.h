#pragma once
// Who may call the service: the tokens file, read and checked at start and
// again on SIGHUP, and how many wrong tokens an address may send.

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace service {

// One caller: the name the journal records as the run's user, and its token.
struct Caller {
    std::string name;
    std::string token;
};

// The tokens file: a name, blanks, the token on each line; a line whose
// first character other than a blank is '#' is a comment, and a '#' further
// on is part of the name or token. A token is at least 16 characters and
// names one caller only; a UTF-8 byte order mark is ignored. A fault names
// the line, never a token.
std::variant<std::vector<Caller>, std::string> parseTokens(std::string_view content);

// A file that holds secrets (the tokens file, the TLS key): a sentence that
// names it and its mode when it is group- or world-writable, readable by
// others, or owned by neither root nor this process's user, or is not a
// regular file or cannot be opened; nothing when it is safe. Group-readable
// is safe (root:travcard 0640). The file is checked as open() finds it,
// through symbolic links. what names the file in the sentence ("the tokens
// file").
std::optional<std::string> secretFileFault(const std::string& path, std::string_view what);

// The tokens file at path, checked as a secret file and parsed, read from
// the descriptor that was checked. A file over 1 MiB is refused. Every fault
// begins "the tokens file PATH".
std::variant<std::vector<Caller>, std::string> loadCallers(const std::string& path);

// The caller whose token this is. Every token is compared, each in time
// that depends on neither's content, so the answer's time tells nothing of
// how close a guess came.
std::optional<std::string> callerOf(const std::vector<Caller>& callers, std::string_view token);

// Wrong tokens per caller address: perMinute in any minute. Past that an
// address is told to wait, and no token it sends is compared. Addresses
// without a failure in the last minute are forgotten.
class GuessBudget {
public:
    using Clock = std::chrono::steady_clock;
    explicit GuessBudget(int perMinute = 10) : perMinute_(std::max(perMinute, 1)) {}

    // How long address must wait before its next guess, in whole seconds and
    // at least 1; nothing while it may guess.
    std::optional<std::chrono::seconds> exhausted(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    // True at most once a minute per address: whether to log its refusal.
    bool tellLog(const std::string& address, Clock::time_point now);

private:
    void forgetIdle(Clock::time_point now);

    int perMinute_;
    std::map<std::string, std::vector<Clock::time_point>> failures_;  // oldest first, perMinute at most
    std::map<std::string, Clock::time_point> logged_;
    std::optional<Clock::time_point> forgotten_;  // when idle addresses were last forgotten
};

}  // namespace service
