#include "db/odbc.h"

#include <algorithm>
#include <vector>

namespace odbc {

std::string describe(const Error& error)
{
    std::string report = error.summary().empty() ? "" : error.summary() + "\n";
    return report + "Database error " + std::to_string(error.nativeError()) + " (SQLSTATE " +
           error.sqlstate() + "):\n" + cleanDriverText(error.text());
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Lines without their ends (CR LF, LF or CR), each with its blanks folded
// to single spaces and trimmed.
std::vector<std::string> foldedLines(std::string_view text)
{
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            lines.emplace_back();
        } else if (isBlank(c)) {
            if (!lines.back().empty() && lines.back().back() != ' ')
                lines.back() += ' ';
        } else {
            lines.back() += c;
        }
    }
    for (std::string& line : lines)
        if (!line.empty() && line.back() == ' ')
            line.pop_back();
    return lines;
}

// The length in bytes of the first maxCharacters UTF-8 characters of text.
std::size_t prefixBytes(std::string_view text, std::size_t maxCharacters)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == maxCharacters)
            return i;
    }
    return text.size();
}

constexpr std::string_view hidden = "***";

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

bool namesPassword(std::string_view key)
{
    const std::size_t first = key.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return false;
    key = key.substr(first, key.find_last_not_of(' ') - first + 1);
    return equalsIgnoringCase(key, "PWD") || equalsIgnoringCase(key, "PASSWORD");
}

// The length of the attribute value at the start of text: in braces up to
// the } that is not doubled (or the end), otherwise up to a ; or a line's end.
std::size_t valueLength(std::string_view text)
{
    if (text.starts_with('{')) {
        for (std::size_t i = 1; i < text.size(); ++i) {
            if (text[i] != '}')
                continue;
            if (i + 1 < text.size() && text[i + 1] == '}')
                ++i;
            else
                return i + 1;
        }
        return text.size();
    }
    return std::min(text.find_first_of(";\r\n"), text.size());
}

// A value as written, without its braces and with each }} one }.
std::string meantValue(std::string_view written)
{
    if (!written.starts_with('{'))
        return std::string(written);
    written.remove_prefix(1);
    if (written.ends_with('}'))
        written.remove_suffix(1);
    std::string meant;
    for (std::size_t i = 0; i < written.size(); ++i) {
        meant += written[i];
        if (written[i] == '}' && i + 1 < written.size() && written[i + 1] == '}')
            ++i;
    }
    return meant;
}

// Every PWD= and PASSWORD= value of a connection string, as written and as meant.
std::vector<std::string> passwordsOf(std::string_view connectionString)
{
    std::vector<std::string> found;
    std::size_t at = 0;
    while (at < connectionString.size()) {
        const std::size_t equals = connectionString.find('=', at);
        if (equals == std::string_view::npos)
            break;
        const std::string_view key = connectionString.substr(at, equals - at);
        const std::string_view rest = connectionString.substr(equals + 1);
        const std::string_view written = rest.substr(0, valueLength(rest));
        if (namesPassword(key))
            for (std::string value : {std::string(written), meantValue(written)})
                if (!value.empty())
                    found.push_back(std::move(value));
        at = equals + 1 + written.size() + 1;  // past the ;
    }
    // The longest first: a password within another is not left half shown.
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return found;
}

void replaceAll(std::string& text, std::string_view secret)
{
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + hidden.size()))
        text.replace(at, secret.size(), hidden);
}

// The values after every PWD= and PASSWORD= in text, in any letter case.
std::string withoutPasswordAttributes(std::string_view text)
{
    std::string kept;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t equals = text.find('=', at);
        if (equals == std::string_view::npos)
            break;
        const std::string_view before = text.substr(at, equals - at);
        const bool password = before.size() >= 3 &&
                              (equalsIgnoringCase(before.substr(before.size() - 3), "PWD") ||
                               (before.size() >= 8 && equalsIgnoringCase(before.substr(before.size() - 8), "PASSWORD")));
        kept.append(text.substr(at, equals + 1 - at));
        at = equals + 1;
        if (password && !text.substr(at).starts_with(hidden)) {
            kept.append(hidden);
            at += valueLength(text.substr(at));
        }
    }
    kept.append(text.substr(std::min(at, text.size())));
    return kept;
}

}  // namespace

std::string withoutPassword(std::string_view text, std::string_view connectionString)
{
    std::string shown(text);
    for (const std::string& secret : passwordsOf(connectionString))
        replaceAll(shown, secret);
    return withoutPasswordAttributes(shown);
}

std::string cleanDriverText(std::string_view text, std::size_t maxCharacters)
{
    std::string cleaned;
    bool blankLineDue = false;
    for (const std::string& line : foldedLines(text)) {
        if (line.empty()) {
            blankLineDue = !cleaned.empty();
            continue;
        }
        if (!cleaned.empty())
            cleaned += blankLineDue ? "\n\n" : "\n";
        blankLineDue = false;
        cleaned += line;
    }
    const std::size_t kept = prefixBytes(cleaned, maxCharacters);
    if (kept < cleaned.size()) {
        cleaned.resize(prefixBytes(cleaned, std::max<std::size_t>(maxCharacters, 3) - 3));
        cleaned += "...";
    }
    return cleaned;
}

}  // namespace odbc
