#include "barcode/bit_image.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace travcard::barcode {
namespace {

// Columns of each pattern symbol when it is drawn as a bar or as a space;
// symbols outside the notation draw nothing.
struct SymbolColumns {
    std::array<std::uint8_t, 256> asBar{};
    std::array<std::uint8_t, 256> asSpace{};
    std::array<bool, 256> isElement{};  // elements flip the colour, markers do not
};

constexpr SymbolColumns kSymbolColumns = [] {
    SymbolColumns columns;
    auto set = [&columns](char symbol, int bar, int space) {
        const auto index = static_cast<unsigned char>(symbol);
        columns.asBar[index] = static_cast<std::uint8_t>(bar);
        columns.asSpace[index] = static_cast<std::uint8_t>(space);
        columns.isElement[index] = true;
    };
    set('N', 2, 3);
    set('W', 6, 6);
    set('0', 0, 0);
    for (int modules = 1; modules <= 4; ++modules) {
        set(static_cast<char>('A' + modules - 1), 2 * modules, 2 * modules);
        set(static_cast<char>('0' + modules), 2 * modules, 2 * modules);
    }
    return columns;
}();

constexpr char kBarColumn = '\xFF';
constexpr char kSpaceColumn = '\x00';
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kWidestElement = 8;
constexpr std::array<char, kWidestElement> kBarRun = {kBarColumn, kBarColumn, kBarColumn, kBarColumn,
                                                      kBarColumn, kBarColumn, kBarColumn, kBarColumn};
constexpr std::array<char, kWidestElement> kSpaceRun{};

}  // namespace

std::string bitImageRow(std::string_view pattern) {
    // Every element is written as kWidestElement columns of its colour and
    // the walk then moves on by its real width, so the next element
    // overwrites the surplus. A row of kWidestElement columns per symbol
    // leaves room for that; it is cut to size at the end.
    std::string row(kHeaderBytes + kWidestElement * pattern.size(), kSpaceColumn);
    char* const firstColumn = row.data() + kHeaderBytes;
    char* column = firstColumn;

    bool bar = true;
    for (char symbol : pattern) {
        const auto index = static_cast<unsigned char>(symbol);
        std::memcpy(column, bar ? kBarRun.data() : kSpaceRun.data(), kWidestElement);
        column += bar ? kSymbolColumns.asBar[index] : kSymbolColumns.asSpace[index];
        bar ^= kSymbolColumns.isElement[index];
    }

    const std::size_t columns = static_cast<std::size_t>(column - firstColumn);
    if (columns > kMaxBitImageColumns)
        throw std::length_error("barcode row of " + std::to_string(columns) +
                                " columns is wider than the " + std::to_string(kMaxBitImageColumns) +
                                " columns an ESC L bit image can hold");
    row.resize(kHeaderBytes + columns);
    row[0] = '\x1B';
    row[1] = 'L';
    row[2] = static_cast<char>(columns % 256);
    row[3] = static_cast<char>(columns / 256);
    return row;
}

}  // namespace travcard::barcode
