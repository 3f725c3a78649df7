#pragma once
// UTF-8 <-> UTF-16 for the ODBC boundary, and code point decoding for the
// printer code page conversion. Malformed input decodes as U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace unicode {

inline constexpr char32_t replacementCharacter = 0xFFFD;

// Decodes the code point that starts at pos and advances pos past it.
char32_t decodeUtf8(std::string_view text, std::size_t& pos);
void appendUtf8(std::string& out, char32_t codePoint);

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace unicode
