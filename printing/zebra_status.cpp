#include "printing/zebra_status.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr char STX = '\x02';
constexpr std::string_view frameEnd = "\x03\r\n";

// The bodies of the first three frames, or fewer when the reply stops
// early; taken, when given, is where the last of them ends in reply.
std::vector<std::string_view> frames(std::string_view reply, std::size_t* taken = nullptr)
{
    std::vector<std::string_view> bodies;
    const std::size_t size = reply.size();
    while (bodies.size() < 3) {
        const auto start = reply.find(STX);
        if (start == std::string_view::npos)
            break;
        const auto end = reply.find(frameEnd, start + 1);
        if (end == std::string_view::npos)
            break;
        bodies.push_back(reply.substr(start + 1, end - start - 1));
        reply.remove_prefix(end + frameEnd.size());
    }
    if (taken)
        *taken = size - reply.size();
    return bodies;
}

std::vector<std::string_view> fields(std::string_view body)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto comma = body.find(',');
        parts.push_back(body.substr(0, comma));
        if (comma == std::string_view::npos)
            return parts;
        body.remove_prefix(comma + 1);
    }
}

// A count of digits only; none otherwise.
std::optional<int> count(std::string_view field)
{
    if (field.empty() || field.size() > 9 ||
        !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = 0;
    for (const char c : field)
        value = value * 10 + (c - '0');
    return value;
}

// A one-character flag: 0 or 1, anything else is not a status.
std::optional<bool> flag(std::string_view field)
{
    if (field == "0")
        return false;
    if (field == "1")
        return true;
    return std::nullopt;
}

}  // namespace

bool hostStatusComplete(std::string_view received) { return frames(received).size() == 3; }

std::optional<ZebraStatus> parseHostStatus(std::string_view reply)
{
    const std::vector<std::string_view> bodies = frames(reply);
    if (bodies.size() != 3)
        return std::nullopt;
    const std::vector<std::string_view> first = fields(bodies[0]);
    const std::vector<std::string_view> second = fields(bodies[1]);
    if (first.size() != 12 || second.size() != 11 || fields(bodies[2]).size() != 2)
        return std::nullopt;
    const std::array<std::optional<bool>, 4> flags{flag(first[1]), flag(first[2]), flag(second[2]),
                                                   flag(second[3])};
    for (const std::optional<bool>& f : flags)
        if (!f)
            return std::nullopt;
    return ZebraStatus{*flags[0], *flags[1], *flags[2], *flags[3]};
}

std::optional<ZebraBuffer> parseHostBuffer(std::string_view reply)
{
    if (!parseHostStatus(reply))
        return std::nullopt;
    const std::vector<std::string_view> bodies = frames(reply);
    const std::vector<std::string_view> first = fields(bodies[0]);
    const std::vector<std::string_view> second = fields(bodies[1]);
    const std::optional<int> formats = count(first[4]);
    const std::optional<bool> partial = flag(first[7]);
    const std::optional<int> labels = count(second[8]);
    if (!formats || !partial || !labels)
        return std::nullopt;
    return ZebraBuffer{*formats, *partial, *labels};
}

std::size_t hostStatusLength(std::string_view received)
{
    std::size_t taken = 0;
    return frames(received, &taken).size() == 3 ? taken : 0;
}

std::string faultsInWords(const ZebraStatus& status)
{
    std::string words;
    const auto add = [&](bool set, const char* fault) {
        if (!set)
            return;
        if (!words.empty())
            words += ", ";
        words += fault;
    };
    add(status.paperOut, "paper out");
    add(status.headOpen, "head open");
    add(status.ribbonOut, "ribbon out");
    add(status.paused, "paused");
    return words;
}

bool hostIdentificationComplete(std::string_view received) { return received.find('\x03') != std::string_view::npos; }

std::optional<int> dotsPerMillimetre(std::string_view reply)
{
    const std::size_t start = reply.find('\x02');
    const std::size_t end = reply.find('\x03');
    if (start == std::string_view::npos || end == std::string_view::npos || end < start)
        return std::nullopt;
    const std::string_view fields = reply.substr(start + 1, end - start - 1);
    const std::size_t first = fields.find(',');
    const std::size_t second = first == std::string_view::npos ? first : fields.find(',', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    const std::size_t third = std::min(fields.find(',', second + 1), fields.size());
    const std::string_view digits = fields.substr(second + 1, third - second - 1);
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(std::string(digits));
}
