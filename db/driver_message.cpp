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

}  // namespace

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
