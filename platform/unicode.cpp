#include "platform/unicode.h"

namespace unicode {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

char32_t decodeUtf8(std::string_view text, std::size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80)
        return lead;

    int length;
    char32_t codePoint;
    char32_t smallest;
    if ((lead & 0xE0) == 0xC0) { length = 1; codePoint = lead & 0x1F; smallest = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { length = 2; codePoint = lead & 0x0F; smallest = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { length = 3; codePoint = lead & 0x07; smallest = 0x10000; }
    else return replacementCharacter;

    for (int i = 0; i < length; ++i) {
        if (pos >= text.size() || !isContinuation(static_cast<unsigned char>(text[pos])))
            return replacementCharacter;
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < smallest || codePoint > 0x10FFFF || surrogate)
        return replacementCharacter;
    return codePoint;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::u16string utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t cp = decodeUtf8(text, pos);
        if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        const bool high = cp >= 0xD800 && cp <= 0xDBFF;
        const bool low = cp >= 0xDC00 && cp <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (high || low) {
            cp = replacementCharacter;
        }
        appendUtf8(out, cp);
    }
    return out;
}

}  // namespace unicode
