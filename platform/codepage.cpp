#include "platform/codepage.h"

#include "platform/unicode.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>

namespace {

using HighHalf = std::unordered_map<char32_t, char>;

// Asks iconv what each byte 0x80..0xFF of the code page stands for.
HighHalf highHalfOf(const char* iconvName)
{
    iconv_t converter = iconv_open("UTF-32LE", iconvName);
    if (converter == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error(std::string("iconv does not know ") + iconvName);
    HighHalf table;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1, outLeft = sizeof out;
        if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
            continue;
        const char32_t codePoint = out[0] | (out[1] << 8) | (out[2] << 16) |
                                   (static_cast<std::uint32_t>(out[3]) << 24);
        table.emplace(codePoint, in);
    }
    iconv_close(converter);
    return table;
}

const HighHalf& highHalf(CodePage codePage)
{
    static const HighHalf cp437 = highHalfOf("CP437");
    static const HighHalf cp850 = highHalfOf("CP850");
    return codePage == CodePage::Cp437 ? cp437 : cp850;
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::string toPrinterBytes(std::string_view utf8, CodePage codePage)
{
    const HighHalf& table = highHalf(codePage);
    std::string bytes;
    bytes.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t c = unicode::decodeUtf8(utf8, pos);
        if (isControl(c)) {
            bytes += '?';
        } else if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else {
            const auto found = table.find(c);
            bytes += found != table.end() ? found->second : '?';
        }
    }
    return bytes;
}

char32_t characterOf(unsigned char byte, CodePage codePage)
{
    using ByteTable = std::array<char32_t, 256>;
    static const auto tableOf = [](CodePage page) {
        ByteTable table;
        table.fill(U'\uFFFD');
        for (int c = 0; c < 0x80; ++c)
            table[c] = static_cast<char32_t>(c);
        for (const auto& [character, code] : highHalf(page))
            table[static_cast<unsigned char>(code)] = character;
        return table;
    };
    static const ByteTable cp437 = tableOf(CodePage::Cp437);
    static const ByteTable cp850 = tableOf(CodePage::Cp850);
    return (codePage == CodePage::Cp437 ? cp437 : cp850)[byte];
}
