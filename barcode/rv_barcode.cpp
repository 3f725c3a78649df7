#include "barcode/rv_barcode.h"

#include "barcode/bit_image.h"
#include "barcode/encoders.h"

namespace encoders = travcard::barcode;

std::string RvBarCode::Epson() {
    std::string checkDigit = m_checkDigit;
    std::string row = encoders::bitImageRow(barPattern(checkDigit));
    m_checkDigit = std::move(checkDigit);
    return row;
}

// Sets checkDigit for the symbologies that compute one.
std::string RvBarCode::barPattern(std::string& checkDigit) const {
    // A Code 128 value of exactly 19 characters gets its mod-10 check digit
    // as the twentieth.
    constexpr std::size_t kCode128CheckedLength = 19;

    switch (m_symbology) {
    case kCode39:
        return Code39Pattern("*" + m_code + "*");
    case kCode128:
        if (m_code.size() != kCode128CheckedLength)
            return Code128Pattern(Code128Values(m_code));
        checkDigit = Mod10Check(m_code);
        return Code128Pattern(Code128Values(m_code + checkDigit));
    case kInterleaved2of5:
        return I2of5Pattern(m_code);
    case kUpcEan:
        checkDigit = Mod10Check(m_code);
        return UPCPattern(m_code + checkDigit);
    default:
        return {};
    }
}

std::string RvBarCode::Code39Pattern(std::string_view text) { return encoders::Code39Pattern(text); }

std::string RvBarCode::I2of5Pattern(std::string_view digits) { return encoders::I2of5Pattern(digits); }

std::vector<std::uint8_t> RvBarCode::Code128Values(std::string_view text) {
    return encoders::Code128Values(text);
}

std::string RvBarCode::Code128Pattern(std::span<const std::uint8_t> values) {
    return encoders::Code128Pattern(values);
}

std::string RvBarCode::Mod10Check(std::string_view digits) { return encoders::Mod10Check(digits); }

std::string RvBarCode::UPCPattern(std::string_view digits) { return encoders::UPCPattern(digits); }
