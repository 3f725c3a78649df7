// RvBarCode with any symbology, value and options. Where Epson() gives a
// row, the row is ESC L, its column count and exactly the columns of the
// encoder's bar pattern, element by element (widths as bit_image.h gives
// them). A row too wide for ESC L is refused with std::length_error and
// leaves CheckDigit as it was; nothing else may escape.

#include "barcode/encoders.h"
#include "barcode/rv_barcode.h"
#include "fuzz/check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <stdexcept>

namespace encoders = travcard::barcode;

namespace {

// The pattern of the symbology's encoder, with the check digit RvBarCode adds.
std::string expectedPattern(std::int16_t symbology, const std::string& code)
{
    switch (symbology) {
    case RvBarCode::kCode39:
        return encoders::Code39Pattern("*" + code + "*");
    case RvBarCode::kCode128:
        return encoders::Code128Pattern(
            encoders::Code128Values(code.size() == 19 ? code + encoders::Mod10Check(code) : code));
    case RvBarCode::kInterleaved2of5:
        return encoders::I2of5Pattern(code);
    case RvBarCode::kUpcEan:
        return encoders::UPCPattern(code + encoders::Mod10Check(code));
    default:
        return {};
    }
}

struct Widths {
    int bar;
    int space;
};

std::optional<Widths> elementWidths(char symbol)
{
    switch (symbol) {
    case 'N': return Widths{2, 3};
    case 'W': return Widths{6, 6};
    case 'A': case 'B': case 'C': case 'D': return Widths{2 * (symbol - 'A' + 1), 2 * (symbol - 'A' + 1)};
    case '0': case '1': case '2': case '3': case '4': return Widths{2 * (symbol - '0'), 2 * (symbol - '0')};
    default: return std::nullopt;
    }
}

// The columns of a pattern, drawn one element after the other.
std::string columnsOf(std::string_view pattern)
{
    std::string columns;
    bool bar = true;
    for (char symbol : pattern) {
        const auto widths = elementWidths(symbol);
        if (!widths)
            continue;
        columns.append(static_cast<std::size_t>(bar ? widths->bar : widths->space), bar ? '\xFF' : '\x00');
        bar = !bar;
    }
    return columns;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    RvBarCode barcode;
    const std::int16_t symbology = provider.ConsumeBool() ? provider.ConsumeIntegralInRange<std::int16_t>(0, 3)
                                                          : provider.ConsumeIntegral<std::int16_t>();
    barcode.setSymbology(symbology);
    barcode.setCheckDigit(provider.ConsumeRandomLengthString(4));
    const std::string code = provider.ConsumeRemainingBytesAsString();
    barcode.setCode(code);

    const std::string checkDigitBefore = barcode.CheckDigit();
    std::string row;
    try {
        row = barcode.Epson();
    } catch (const std::length_error&) {
        FUZZ_CHECK(barcode.CheckDigit() == checkDigitBefore);
        return 0;
    }

    const std::string columns = columnsOf(expectedPattern(symbology, code));
    FUZZ_CHECK(row.size() == 4 + columns.size());
    FUZZ_CHECK(row.starts_with("\x1BL"));
    FUZZ_CHECK(static_cast<std::size_t>(static_cast<unsigned char>(row[2]) + 256 * static_cast<unsigned char>(row[3])) == columns.size());
    FUZZ_CHECK(row.substr(4) == columns);
    if (symbology == RvBarCode::kUpcEan) {
        FUZZ_CHECK(barcode.CheckDigit().size() == 1);
        FUZZ_CHECK(barcode.CheckDigit()[0] >= '0' && barcode.CheckDigit()[0] <= '9');
    }
    return 0;
}
