#include "support/bit_image_decoder.h"

#include <zbar.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace travcard::testing {
namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr int kColumnScale = 2;      // pixels per printer column
constexpr int kQuietColumns = 40;    // white printer columns on either side
constexpr int kImageHeight = 16;     // the row repeated this often

constexpr std::uint8_t kBlack = 0x00;
constexpr std::uint8_t kWhite = 0xFF;

std::string_view checkedColumns(std::string_view escL) {
    if (escL.size() < kHeaderBytes || escL[0] != '\x1B' || escL[1] != 'L')
        throw std::invalid_argument("not an ESC L bit-image command");
    const std::size_t declared =
        static_cast<unsigned char>(escL[2]) + 256 * static_cast<std::size_t>(static_cast<unsigned char>(escL[3]));
    const std::string_view columns = escL.substr(kHeaderBytes);
    if (columns.size() != declared)
        throw std::invalid_argument("ESC L declares " + std::to_string(declared) + " columns but carries " +
                                    std::to_string(columns.size()));
    for (char column : columns)
        if (column != '\x00' && column != '\xFF')
            throw std::invalid_argument("ESC L column is neither a full bar (0xFF) nor blank (0x00)");
    return columns;
}

std::vector<std::uint8_t> renderImage(std::string_view columns, int width) {
    std::vector<std::uint8_t> line(width, kWhite);
    for (std::size_t column = 0; column < columns.size(); ++column)
        if (columns[column] != '\x00')
            std::fill_n(line.begin() + (kQuietColumns + column) * kColumnScale, kColumnScale, kBlack);

    std::vector<std::uint8_t> image;
    image.reserve(line.size() * kImageHeight);
    for (int row = 0; row < kImageHeight; ++row)
        image.insert(image.end(), line.begin(), line.end());
    return image;
}

void configureForTicketSymbologies(zbar::ImageScanner& scanner) {
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    for (zbar::zbar_symbol_type_t symbology : {zbar::ZBAR_CODE39, zbar::ZBAR_CODE128, zbar::ZBAR_I25, zbar::ZBAR_EAN8,
                                               zbar::ZBAR_EAN13, zbar::ZBAR_UPCA}) {
        scanner.set_config(symbology, zbar::ZBAR_CFG_ENABLE, 1);
    }
    // zbar rejects Interleaved 2 of 5 shorter than six digits by default.
    scanner.set_config(zbar::ZBAR_I25, zbar::ZBAR_CFG_MIN_LEN, 0);
    // Every pixel row is the same: scanning along the rows is enough.
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_X_DENSITY, 0);
}

}  // namespace

std::vector<Decoded> decodeBitImageRow(std::string_view escL) {
    const std::string_view columns = checkedColumns(escL);
    const int width = static_cast<int>(columns.size() + 2 * kQuietColumns) * kColumnScale;
    const std::vector<std::uint8_t> pixels = renderImage(columns, width);

    zbar::ImageScanner scanner;
    configureForTicketSymbologies(scanner);
    zbar::Image image(width, kImageHeight, "Y800", pixels.data(), pixels.size());
    scanner.scan(image);

    std::vector<Decoded> found;
    for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol)
        found.push_back({symbol->get_type_name(), symbol->get_data()});
    return found;
}

std::vector<Decoded> decodeGreyImage(const std::uint8_t* pixels, int width, int height, int bytesPerLine) {
    std::vector<std::uint8_t> packed;
    packed.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int row = 0; row < height; ++row)
        packed.insert(packed.end(), pixels + static_cast<std::ptrdiff_t>(row) * bytesPerLine,
                      pixels + static_cast<std::ptrdiff_t>(row) * bytesPerLine + width);

    zbar::ImageScanner scanner;
    configureForTicketSymbologies(scanner);
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_X_DENSITY, 1);
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_Y_DENSITY, 1);
    zbar::Image image(static_cast<unsigned>(width), static_cast<unsigned>(height), "Y800", packed.data(), packed.size());
    scanner.scan(image);

    std::vector<Decoded> found;
    for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol)
        found.push_back({symbol->get_type_name(), symbol->get_data()});
    return found;
}

}  // namespace travcard::testing
