#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace travcard::testing {

// One symbol that the decoder found: zbar's name of the symbology
// ("CODE-39", "CODE-128", "I2/5", "UPC-A", "EAN-8", "EAN-13") and the data.
struct Decoded {
    std::string symbology;
    std::string text;

    bool operator==(const Decoded&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Decoded& decoded) {
        return out << decoded.symbology << " \"" << decoded.text << '"';
    }
};

// Decodes one ESC/P bit-image row, ESC L nL nH followed by nL + 256 * nH
// column bytes (0xFF bar, 0x00 space), as a printer would print it many
// times over. Throws std::invalid_argument for anything else. Returns
// every symbol found, none when the row holds no readable barcode.
std::vector<Decoded> decodeBitImageRow(std::string_view escL);

// Decodes every symbol in an 8-bit grey image (0 black, 255 white), scanned
// across and down; rows are bytesPerLine apart.
std::vector<Decoded> decodeGreyImage(const std::uint8_t* pixels, int width, int height, int bytesPerLine);

}  // namespace travcard::testing
