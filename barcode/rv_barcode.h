#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A barcode in Code 39, Code 128, Interleaved 2 of 5 or UPC/EAN, rendered by
// Epson() as one ESC/P bit-image row (ESC L, eight dots high) for an EPSON
// dot-matrix printer. The caller prints the row as often as the bars should
// be tall; the object itself prints nothing.
class RvBarCode {
public:
    static constexpr std::int16_t kCode39 = 0;
    static constexpr std::int16_t kCode128 = 1;
    static constexpr std::int16_t kInterleaved2of5 = 2;
    static constexpr std::int16_t kUpcEan = 3;

    // Selects the encoder; any other value than the four above gives an
    // empty row.
    std::int16_t Symbology() const { return m_symbology; }
    void setSymbology(std::int16_t New_Symbology) { m_symbology = New_Symbology; }

    const std::string& Code() const { return m_code; }
    void setCode(std::string New_Code) { m_code = std::move(New_Code); }

    // The last mod-10 check digit that Epson() computed (UPC/EAN, and Code 128
    // values of exactly 19 characters).
    const std::string& CheckDigit() const { return m_checkDigit; }
    void setCheckDigit(std::string New_CheckDigit) { m_checkDigit = std::move(New_CheckDigit); }

    // The bytes ESC L nL nH followed by one byte per printer column: 0xFF for
    // a bar, 0x00 for a space. No line feed or carriage return.
    // Throws std::length_error when the row is wider than ESC L can express;
    // CheckDigit is then left as it was.
    std::string Epson();

private:
    std::string barPattern(std::string& checkDigit) const;

    static std::string Code39Pattern(std::string_view text);
    static std::string I2of5Pattern(std::string_view digits);
    static std::vector<std::uint8_t> Code128Values(std::string_view text);
    static std::string Code128Pattern(std::span<const std::uint8_t> values);
    static std::string Mod10Check(std::string_view digits);
    static std::string UPCPattern(std::string_view digits);

    std::int16_t m_symbology = kCode39;
    std::string m_code = "0";
    std::string m_checkDigit = "0";
};
