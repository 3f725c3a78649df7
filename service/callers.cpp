#include "service/callers.h"

#include "config/config_file.h"
#include "config/secret_file.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace service {
namespace {

constexpr std::size_t largestTokensFile = 1 << 20;
constexpr auto minute = std::chrono::minutes(1);

std::optional<std::string> secretFault(const OpenedFile& file, const std::string& named)
{
    const std::variant<struct stat, std::string> regular = file.regularFile(named);
    if (const std::string* fault = std::get_if<std::string>(&regular))
        return *fault;
    const struct stat& status = std::get<struct stat>(regular);
    if ((status.st_mode & (S_IWGRP | S_IRWXO)) != 0) {
        char modes[64];
        std::snprintf(modes, sizeof modes, "%04o: ", static_cast<unsigned>(status.st_mode & 07777));
        std::string fault = named + " has mode " + modes;
        std::snprintf(modes, sizeof modes, "%04o", static_cast<unsigned>(status.st_mode & 0750));
        return fault + "it must not be readable by others or writable by anyone but its owner (chmod " + modes + ").";
    }
    const uid_t self = ::geteuid();
    if (status.st_uid != 0 && status.st_uid != self)
        return named + " is owned by uid " + std::to_string(status.st_uid) + ": it must be owned by root" +
               (self != 0 ? " or by uid " + std::to_string(self) + ", which the service runs as" : std::string()) + ".";
    return std::nullopt;
}

}  // namespace

std::variant<std::vector<Caller>, std::string> parseTokens(std::string_view content)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (content.starts_with(byteOrderMark))
        content.remove_prefix(byteOrderMark.size());
    std::vector<Caller> callers;
    std::unordered_map<std::string_view, int> lineOfToken;
    int number = 0;
    for (const std::string_view line : splitConfigLines(content)) {
        ++number;
        const std::vector<std::string_view> parts = splitWords(line);
        if (parts.empty() || parts[0].starts_with('#'))
            continue;
        const std::string at = "line " + std::to_string(number);
        if (parts.size() > 2 && parts[2].starts_with('#'))
            return at + " has more than a name and a token: a comment is a line of its own that starts with #.";
        if (parts.size() != 2)
            return at + " is not a name, a space and a token of at least 16 characters.";
        if (parts[1].size() < 16)
            return at + " has a token shorter than 16 characters.";
        const auto [earlier, added] = lineOfToken.emplace(parts[1], number);
        if (!added)
            return "lines " + std::to_string(earlier->second) + " and " + std::to_string(number) +
                   " have the same token: each caller needs a token of its own.";
        callers.push_back({std::string(parts[0]), std::string(parts[1])});
    }
    if (callers.empty())
        return std::string("no line names a caller, so nobody could call the service.");
    return callers;
}

std::optional<std::string> callerOf(const std::vector<Caller>& callers, std::string_view token)
{
    // Digests have one length whatever the token's, and are compared byte
    // by byte to the end.
    const auto digest = [](std::string_view text) {
        return QCryptographicHash::hash(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())),
                                        QCryptographicHash::Sha256);
    };
    const QByteArray given = digest(token);
    std::optional<std::string> found;
    for (const Caller& caller : callers) {
        const QByteArray known = digest(caller.token);
        unsigned char difference = 0;
        for (qsizetype i = 0; i < known.size(); ++i)
            difference |= static_cast<unsigned char>(known[i] ^ given[i]);
        if (difference == 0 && !found)
            found = caller.name;
    }
    return found;
}

std::optional<std::string> secretFileFault(const std::string& path, std::string_view what)
{
    return secretFault(OpenedFile(path), std::string(what) + " " + path);
}

std::variant<std::vector<Caller>, std::string> loadCallers(const std::string& path)
{
    const std::string named = "the tokens file " + path;
    // Read from the descriptor that was checked: the file cannot be swapped in between.
    const OpenedFile file(path);
    if (std::optional<std::string> fault = secretFault(file, named))
        return *std::move(fault);
    const OpenedFile::Content content =
        file.readAtMost(largestTokensFile, "1 MiB, more than any list of callers needs: is it the right file?");
    if (!content.bytes)
        return named + content.fault;
    std::variant<std::vector<Caller>, std::string> callers = parseTokens(*content.bytes);
    if (const std::string* fault = std::get_if<std::string>(&callers))
        return named + ": " + *fault;
    return callers;
}

std::optional<std::chrono::seconds> GuessBudget::exhausted(const std::string& address, Clock::time_point now)
{
    forgetIdle(now);
    const auto found = failures_.find(address);
    if (found == failures_.end())
        return std::nullopt;
    std::vector<Clock::time_point>& times = found->second;
    std::erase_if(times, [&](Clock::time_point at) { return at + minute <= now; });
    if (static_cast<int>(times.size()) < perMinute_)
        return std::nullopt;
    const auto wait = std::chrono::ceil<std::chrono::seconds>(times.front() + minute - now);
    return std::max(wait, std::chrono::seconds(1));
}

void GuessBudget::failed(const std::string& address, Clock::time_point now)
{
    forgetIdle(now);
    std::vector<Clock::time_point>& times = failures_[address];
    times.push_back(now);
    // Only the latest perMinute say when the address may guess again.
    if (static_cast<int>(times.size()) > perMinute_)
        times.erase(times.begin(), times.end() - perMinute_);
}

bool GuessBudget::tellLog(const std::string& address, Clock::time_point now)
{
    forgetIdle(now);
    const auto [last, first] = logged_.try_emplace(address, now);
    if (first)
        return true;
    if (now - last->second < minute)
        return false;
    last->second = now;
    return true;
}

// Every address calls here, so the maps are walked at most every 10 s.
void GuessBudget::forgetIdle(Clock::time_point now)
{
    if (forgotten_ && now - *forgotten_ < std::chrono::seconds(10))
        return;
    forgotten_ = now;
    std::erase_if(failures_, [&](const auto& entry) {
        return entry.second.empty() || entry.second.back() + minute <= now;
    });
    std::erase_if(logged_, [&](const auto& entry) { return entry.second + minute <= now; });
}

}  // namespace service
