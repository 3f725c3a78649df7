#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "barcode/rv_barcode.h"
#include "support/bit_image_decoder.h"

namespace travcard::testing {

// What a barcode reader makes of the row that RvBarCode prints for code.
inline std::vector<Decoded> printAndScan(std::int16_t symbology, std::string code) {
    RvBarCode barcode;
    barcode.setSymbology(symbology);
    barcode.setCode(std::move(code));
    return decodeBitImageRow(barcode.Epson());
}

// The columns of an ESC L row as readable text: "B" for a bar column
// (0xFF), "s" for a space column (0x00), "?" for any other byte.
inline std::string columnsAsText(const std::string& escL) {
    std::string text;
    for (std::size_t i = 4; i < escL.size(); ++i)
        text += escL[i] == '\xFF' ? 'B' : escL[i] == '\x00' ? 's' : '?';
    return text;
}

}  // namespace travcard::testing
