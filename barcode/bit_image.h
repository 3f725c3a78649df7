#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace travcard::barcode {

// The column count of ESC L is two bytes, nL + 256 * nH.
inline constexpr std::size_t kMaxBitImageColumns = 65535;

// Walks a bar pattern (see encoders.h) into the ESC/P command
// ESC L nL nH d1 ... dn, one byte per column: 0xFF for a bar, 0x00 for a
// space. A narrow bar is 2 columns, a narrow space 3, a wide element 6, and
// a module 2. Throws std::length_error for a row of more than
// kMaxBitImageColumns columns.
std::string bitImageRow(std::string_view pattern);

}  // namespace travcard::barcode
