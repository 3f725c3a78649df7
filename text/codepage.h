#pragma once
// The one place where text becomes printer bytes. Printers read single-byte
// code pages: the Zebra jobs select code page 850 with ^CI13, and an EPSON
// printer starts in code page 437.
//
// ASCII passes unchanged. A character the code page lacks becomes "?", and so
// does a control character (CR, LF, ESC, TAB ...), so that no value can end a
// line or start a printer command.

#include <string>
#include <string_view>

enum class CodePage { Cp437, Cp850 };

std::string toPrinterBytes(std::string_view utf8, CodePage codePage);

// What a printer draws for a byte of the code page: ASCII as itself, the high
// half as the code page defines it; U+FFFD for a byte without a character.
char32_t characterOf(unsigned char byte, CodePage codePage);
