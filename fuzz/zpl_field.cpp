// The ZPL field writer on any value. The line it writes must read back, by
// the printer's own rules, as exactly one field: the head, ^FD, data that no
// ^ or ~ can cut short, ^FS. With ^FH the data's _XX escapes decode; either
// way the data is the value in code page 850. The print quantity line must
// likewise stay one command.

#include "fuzz/check.h"
#include "text/codepage.h"
#include "tickets/zebra_job.h"

#include <optional>

namespace {

constexpr std::string_view head = "^FO92,56^A0R,51,33^CI13^FR";
constexpr std::string_view fieldEnd = "^FS\r\n";

std::optional<int> hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return std::nullopt;
}

// Decodes ^FH data with the default indicator _: every _ starts a two-digit hex escape.
std::optional<std::string> hexDecoded(std::string_view data)
{
    std::string decoded;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '_') {
            decoded += data[i];
            continue;
        }
        if (i + 2 >= data.size())
            return std::nullopt;
        const auto high = hexDigit(data[i + 1]);
        const auto low = hexDigit(data[i + 2]);
        if (!high || !low)
            return std::nullopt;
        decoded += static_cast<char>(*high * 16 + *low);
        i += 2;
    }
    return decoded;
}

void checkField(std::string_view value)
{
    const std::string line = zpl::field(head, value);
    FUZZ_CHECK(line.starts_with(head));
    FUZZ_CHECK(line.ends_with(fieldEnd));
    std::string_view body(line);
    body.remove_prefix(head.size());
    body.remove_suffix(fieldEnd.size());

    const bool hexEscapes = body.starts_with("^FH");
    if (hexEscapes)
        body.remove_prefix(3);
    FUZZ_CHECK(body.starts_with("^FD"));
    body.remove_prefix(3);

    // A ^ or ~ would start a command inside the field; CR or LF would split the line.
    FUZZ_CHECK(body.find_first_of("^~\r\n") == std::string_view::npos);

    const std::string expected = toPrinterBytes(value, CodePage::Cp850);
    if (hexEscapes) {
        const auto decoded = hexDecoded(body);
        FUZZ_CHECK(decoded.has_value());
        FUZZ_CHECK(*decoded == expected);
    } else {
        FUZZ_CHECK(body == expected);
    }
}

void checkQuantityLine(std::string_view labelQty)
{
    const std::string epilogue = zpl::jobEpilogue(labelQty);
    FUZZ_CHECK(epilogue.starts_with("^PQ"));
    const std::size_t lineEnd = epilogue.find("\r\n");
    FUZZ_CHECK(lineEnd != std::string::npos);
    const std::string_view quantityLine = std::string_view(epilogue).substr(3, lineEnd - 3);
    FUZZ_CHECK(quantityLine.ends_with(",0,0,N"));
    FUZZ_CHECK(quantityLine.find_first_of("^~\r") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    checkField(value);
    checkQuantityLine(value);
    return 0;
}
