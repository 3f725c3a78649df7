#include <array>

#include "barcode/encoders.h"

namespace travcard::barcode {
namespace {

constexpr std::string_view kCode39Characters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%*";

// Code 39 character widths, ISO/IEC 16388. N narrow, W wide; nine elements
// bar, space, bar, space, bar, space, bar, space, bar.
constexpr std::array<std::string_view, kCode39Characters.size()> kCode39Rows = {
    // b s b s b s b s b
    "NNNWWNWNN",  // 0
    "WNNWNNNNW",  // 1
    "NNWWNNNNW",  // 2
    "WNWWNNNNN",  // 3
    "NNNWWNNNW",  // 4
    "WNNWWNNNN",  // 5
    "NNWWWNNNN",  // 6
    "NNNWNNWNW",  // 7
    "WNNWNNWNN",  // 8
    "NNWWNNWNN",  // 9
    "WNNNNWNNW",  // A
    "NNWNNWNNW",  // B
    "WNWNNWNNN",  // C
    "NNNNWWNNW",  // D
    "WNNNWWNNN",  // E
    "NNWNWWNNN",  // F
    "NNNNNWWNW",  // G
    "WNNNNWWNN",  // H
    "NNWNNWWNN",  // I
    "NNNNWWWNN",  // J
    "WNNNNNNWW",  // K
    "NNWNNNNWW",  // L
    "WNWNNNNWN",  // M
    "NNNNWNNWW",  // N
    "WNNNWNNWN",  // O
    "NNWNWNNWN",  // P
    "NNNNNNWWW",  // Q
    "WNNNNNWWN",  // R
    "NNWNNNWWN",  // S
    "NNNNWNWWN",  // T
    "WWNNNNNNW",  // U
    "NWWNNNNNW",  // V
    "WWWNNNNNN",  // W
    "NWNNWNNNW",  // X
    "WWNNWNNNN",  // Y
    "NWWNWNNNN",  // Z
    "NWNNNNWNW",  // -
    "WWNNNNWNN",  // .
    "NWWNNNWNN",  // space
    "NWNWNWNNN",  // $
    "NWNWNNNWN",  // /
    "NWNNNWNWN",  // +
    "NNNWNWNWN",  // %
    "NWNNWNWNN",  // * (start/stop)
};

constexpr char kInterCharacterGap = 'W';

constexpr char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

}  // namespace

std::string Code39Pattern(std::string_view text) {
    std::string pattern;
    pattern.reserve(10 * text.size());
    for (char c : text) {
        const std::size_t row = kCode39Characters.find(asciiUpper(c));
        if (row == std::string_view::npos)
            continue;
        pattern += kCode39Rows[row];
        pattern += kInterCharacterGap;
    }
    return pattern;
}

}  // namespace travcard::barcode
