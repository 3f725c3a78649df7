#pragma once
// An ESC/P interpreter for a 9-pin EPSON dot-matrix printer: draft text at
// 10 characters per inch in code page 437, line spacing and paper steps in
// 1/216 inch, 8-dot bit-image columns. EscpReader reads a byte stream one
// printer page at a time; drawEscpPage() draws the page at 240 dpi, 13.6
// inches across (a wide carriage).

#include "render/rendered_page.h"
#include "render/warnings.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string_view>
#include <vector>

namespace travcard::render {

// Positions across in 1/720 inch (every bit-image density and the text
// pitch are whole numbers of it), down in 1/216 inch.
inline constexpr int kAcrossUnitsPerInch = 720;
inline constexpr int kDownUnitsPerInch = 216;
inline constexpr int kEpsonImageDotsPerInch = 240;

struct EscpText {
    int x = 0;  // left edge of the first character
    int y = 0;  // top of the character cell
    QString text;
};

struct EscpImage {
    int x = 0;
    int y = 0;            // top pin
    int columnWidth = 6;  // 1/720 inch; ESC L is 120 dpi
    QByteArray columns;   // one byte per column, the top pin in the high bit
};

struct EscpPage {
    int length = 0;  // 1/216 inch
    std::vector<EscpText> texts;
    std::vector<EscpImage> images;
    bool empty() const { return texts.empty() && images.empty(); }
};

class EscpReader {
public:
    explicit EscpReader(std::string_view bytes) : bytes_(bytes) {}

    // The next page: each page the paper passes, and at the end of the
    // stream the page under way if anything is printed on it.
    std::optional<EscpPage> next();

    const Warnings& warnings() const { return warnings_; }

private:
    void printCharacter(unsigned char byte);
    void lineFeed(int units);
    void escape();
    void bitImage(int columnWidth, std::size_t columns, int bytesPerColumn);
    void skip(std::size_t count, const QString& name);
    void startPage();
    int byteAt(std::size_t offset) const;

    std::string_view bytes_;
    std::size_t pos_ = 0;
    Warnings warnings_;
    int x_ = 0;
    int y_ = 0;
    int lineSpacing_ = 36;
    // The form of 39 lines of 1/6 inch that travcard's printer set-up
    // selects (ESC C 39); a print run's stream does not repeat it.
    int pageLength_ = 39 * 36;
    EscpPage page_;
    std::vector<EscpPage> finished_;
};

RenderedPage drawEscpPage(const EscpPage& page);

}  // namespace travcard::render
