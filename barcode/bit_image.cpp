#include "barcode/bit_image.h"

#include <array>
#include <cstdint>
#include <stdexcept>

namespace travcard::barcode {
namespace {

struct SymbolWidth {
    std::uint8_t barColumns = 0;
    std::uint8_t spaceColumns = 0;
    bool isElement = false;  // elements flip the colour, markers do not
};

// Symbols outside the notation keep the default: no columns, no flip.
constexpr std::array<SymbolWidth, 256> kSymbolWidths = [] {
    std::array<SymbolWidth, 256> widths{};
    widths['N'] = {2, 3, true};
    widths['W'] = {6, 6, true};
    widths['0'] = {0, 0, true};
    for (std::uint8_t modules = 1; modules <= 4; ++modules) {
        const SymbolWidth width{std::uint8_t(2 * modules), std::uint8_t(2 * modules), true};
        widths['A' + modules - 1] = width;
        widths['0' + modules] = width;
    }
    return widths;
}();

constexpr char kBarColumn = '\xFF';
constexpr char kSpaceColumn = '\x00';
constexpr std::size_t kHeaderBytes = 4;

}  // namespace

std::string bitImageRow(std::string_view pattern) {
    std::string row{'\x1B', 'L', '\0', '\0'};
    row.reserve(kHeaderBytes + 8 * pattern.size());

    bool bar = true;
    for (char symbol : pattern) {
        const SymbolWidth& width = kSymbolWidths[static_cast<unsigned char>(symbol)];
        if (bar)
            row.append(width.barColumns, kBarColumn);
        else
            row.append(width.spaceColumns, kSpaceColumn);
        if (width.isElement)
            bar = !bar;
    }

    const std::size_t columns = row.size() - kHeaderBytes;
    if (columns > kMaxBitImageColumns)
        throw std::length_error("barcode row of " + std::to_string(columns) +
                                " columns is wider than the " + std::to_string(kMaxBitImageColumns) +
                                " columns an ESC L bit image can hold");
    row[2] = static_cast<char>(columns % 256);
    row[3] = static_cast<char>(columns / 256);
    return row;
}

}  // namespace travcard::barcode
