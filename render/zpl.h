#pragma once
// A ZPL II interpreter for a Zebra printer of 203 dpi (8 dots/mm), 300 (12)
// or 600 (24). ZplReader reads a byte stream one label format (^XA ... ^XZ)
// at a time and turns it into what the printer would draw; drawZplLabel()
// draws it, one pixel a dot. The same label laid out for 300 or 600 dpi has
// 1.5 or 3 times the dots of 203 dpi each way, and the same printed size.

#include "render/rendered_page.h"
#include "render/warnings.h"

#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace travcard::render {

inline constexpr int kZebraDotsPerInch = 203;

// dpi when it is one a Zebra printer prints at (203, 300, 600); 203 otherwise.
int zebraDpi(int dpi);

// The dots of a printer of dpi that take the room of one dot of 203 dpi: 1,
// 1.5 or 3 (8, 12 or 24 dots/mm).
double dotsPerStandardDot(int dpi);

// A length of dots203 dots at 203 dpi in the dots of a printer of dpi,
// rounded to the nearest dot.
int dotsAt(int dpi, int dots203);

// Field orientation: N normal, R rotated 90 degrees clockwise, I 180, B 270.
enum class Orientation { N, R, I, B };

struct ZplText {
    QPoint origin;
    Orientation orientation = Orientation::N;
    int height = 0;  // dots
    int width = 0;   // dots
    QString text;
    bool reverse = false;
};

struct ZplBarcode {
    QPoint origin;
    Orientation orientation = Orientation::N;
    std::vector<int> elements;  // dots, bar first, bars and spaces alternating
    int height = 0;             // bar height in dots
    QString interpretation;     // empty: no interpretation line
    bool interpretationAbove = false;
    int moduleWidth = 1;
    bool reverse = false;
};

struct ZplBox {
    QRect rect;
    int thickness = 1;
    bool black = true;
    bool reverse = false;
};

using ZplField = std::variant<ZplText, ZplBarcode, ZplBox>;

struct ZplLabel {
    int dpi = kZebraDotsPerInch;  // of the printer: the dots below are its dots
    int width = 812;
    int length = 1218;
    int copies = 1;
    std::vector<ZplField> fields;
};

class ZplReader {
public:
    // A stream for a printer of dpi (see zebraDpi): its default label is 4 by 6 inches.
    explicit ZplReader(std::string_view bytes, int dpi = kZebraDotsPerInch);

    // The next format that prints a label; nullopt at the end of the stream.
    // Formats that draw nothing and print no quantity (such as one that only
    // deletes stored objects) are passed over.
    std::optional<ZplLabel> next();

    const Warnings& warnings() const { return warnings_; }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
    Warnings warnings_;
    int dpi_;
    // Settings a printer keeps between formats.
    int width_;
    int length_;
    QPoint home_;
    int codePage_ = 13;
    int moduleWidth_ = 2;
    double ratio_ = 3.0;
    int barHeight_ = 10;
};

// One pixel a dot; the image's resolution gives the label its printed size, the same at any dpi.
RenderedPage drawZplLabel(const ZplLabel& label);

}  // namespace travcard::render
