#include "text/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from))
    {
        if (handle_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Converter() { iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    iconv_t get() const { return handle_; }

private:
    iconv_t handle_;
};

char32_t littleEndian(const unsigned char* bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// The code points of utf8; a byte that starts no valid character stands for U+FFFD.
std::vector<char32_t> codePoints(std::string_view utf8)
{
    // An iconv descriptor keeps state: one per thread, reset for each text.
    thread_local const Converter converter("UTF-32LE", "UTF-8");
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    std::vector<char32_t> points;
    std::vector<unsigned char> out(4 * utf8.size() + 4);
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(out.data());
        std::size_t outLeft = out.size();
        const bool stopped =
            iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1);
        const std::size_t produced = (out.size() - outLeft) / 4;
        for (std::size_t i = 0; i < produced; ++i)
            points.push_back(littleEndian(&out[4 * i]));
        if (stopped && (errno == EILSEQ || errno == EINVAL)) {
            points.push_back(replacementCharacter);
            ++in;
            --inLeft;
        } else if (stopped) {
            throw std::runtime_error("iconv could not decode UTF-8");
        }
    }
    return points;
}

using HighHalf = std::unordered_map<char32_t, char>;

// Asks iconv what each byte 0x80..0xFF of the code page stands for.
HighHalf highHalfOf(const char* iconvName)
{
    const Converter converter("UTF-32LE", iconvName);
    HighHalf table;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1, outLeft = sizeof out;
        if (iconv(converter.get(), &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
            continue;
        table.emplace(littleEndian(out), in);
    }
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
    // Most values are plain ASCII, which needs no decoding.
    const auto isAscii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    if (std::all_of(utf8.begin(), utf8.end(), isAscii)) {
        std::string bytes(utf8);
        std::replace_if(bytes.begin(), bytes.end(), [](char c) { return isControl(c); }, '?');
        return bytes;
    }
    const HighHalf& table = highHalf(codePage);
    std::string bytes;
    bytes.reserve(utf8.size());
    for (const char32_t c : codePoints(utf8)) {
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
