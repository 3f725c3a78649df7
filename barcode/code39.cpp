#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "barcode/encoders.h"

namespace travcard::barcode {
namespace {

constexpr std::size_t kElementsPerCharacter = 9;
constexpr std::size_t kSymbolsPerCharacter = kElementsPerCharacter + 1;  // and the gap
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
static_assert(std::ranges::all_of(kCode39Rows, [](std::string_view row) { return row.size() == kElementsPerCharacter; }));

constexpr char kInterCharacterGap = 'W';
constexpr std::uint8_t kNoRow = 0xFF;

// The row of every byte, lower case folded to upper case; kNoRow for the
// characters that Code 39 cannot encode.
constexpr std::array<std::uint8_t, 256> kRowOfCharacter = [] {
    std::array<std::uint8_t, 256> rowOf{};
    rowOf.fill(kNoRow);
    for (std::uint8_t row = 0; row < kCode39Characters.size(); ++row) {
        const auto c = static_cast<unsigned char>(kCode39Characters[row]);
        rowOf[c] = row;
        if (c >= 'A' && c <= 'Z')
            rowOf[c - 'A' + 'a'] = row;
    }
    return rowOf;
}();

}  // namespace

std::string_view Code39Elements(char c) {
    const std::uint8_t row = kRowOfCharacter[static_cast<unsigned char>(c)];
    return row == kNoRow ? std::string_view{} : kCode39Rows[row];
}

std::string Code39Pattern(std::string_view text) {
    std::string pattern(kSymbolsPerCharacter * text.size(), kInterCharacterGap);
    char* next = pattern.data();
    for (char c : text) {
        const std::uint8_t row = kRowOfCharacter[static_cast<unsigned char>(c)];
        if (row == kNoRow)
            continue;
        std::memcpy(next, kCode39Rows[row].data(), kElementsPerCharacter);
        next[kElementsPerCharacter] = kInterCharacterGap;
        next += kSymbolsPerCharacter;
    }
    pattern.resize(static_cast<std::size_t>(next - pattern.data()));
    return pattern;
}

}  // namespace travcard::barcode
