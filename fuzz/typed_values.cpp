// The values derived from what the operator types: the order key, the
// zero-filled barcode values, whole numbers and the quantity.

#include "commands/order_values.h"
#include "fuzz/check.h"
#include "text/text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::size_t width = provider.ConsumeIntegralInRange<std::size_t>(0, 12);
    const std::string typed = provider.ConsumeRemainingBytesAsString();
    const std::string_view trimmed = text::trimSpaces(typed);

    const std::string key = orderKey(typed);
    FUZZ_CHECK(std::string_view(key).ends_with(trimmed));
    FUZZ_CHECK(key.find_first_not_of(' ') == key.size() - trimmed.size() || trimmed.empty());
    FUZZ_CHECK(text::characterCount(key) >= orderKeyWidth);

    FUZZ_CHECK(std::string_view(zeroFilled(typed, width)).ends_with(trimmed));
    FUZZ_CHECK(printedOrderNumber(typed).size() <= orderKeyWidth);

    if (const auto number = wholeNumber(typed))
        FUZZ_CHECK(wholeNumber(std::to_string(*number)) == number);

    // The quantity text goes into the ^PQ command verbatim: it must hold
    // nothing but the characters of a decimal number, and not one worth 0
    // (0.4 passes, and makes 0 copies).
    if (const auto quantity = parseQuantity(typed)) {
        FUZZ_CHECK(quantity->text == trimmed);
        FUZZ_CHECK(quantity->text.find_first_not_of("0123456789+-.eE") == std::string::npos);
        FUZZ_CHECK(std::strtod(quantity->text.c_str(), nullptr) != 0);
    }
    return 0;
}
