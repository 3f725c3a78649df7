#include "render/zpl.h"

#include "barcode/encoders.h"
#include "text/codepage.h"
#include "text/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace travcard::render {
namespace {

// The dots of a printer of dpi that one dot of 203 dpi makes, in twelfths:
// 203 dpi is 8 dots/mm, 300 is 12 and 600 is 24.
int twelfthsOfDot(int dpi) { return dpi == 600 ? 36 : dpi == 300 ? 18 : 12; }

// Bounds that keep one label's image and drawing work small whatever the
// stream asks for: 8 inches across, 30 inches long, whatever the resolution.
struct Limits {
    explicit Limits(int dpi)
        : width(dotsAt(dpi, 1624)), length(dotsAt(dpi, 6090)), coordinate(dotsAt(dpi, 32000)),
          fontDots(dotsAt(dpi, 1500))
    {
    }
    int width;
    int length;
    int coordinate;
    int fontDots;
};

// ^BY's narrow bar, 1 to 10 dots at any resolution: the 3 dots of 203 dpi are 9 at 600.
constexpr int kMaxModuleWidth = 10;
constexpr int kMaxFieldCharacters = 2000;
constexpr int kDefaultFontHeight = 15;
constexpr int kDefaultFontWidth = 12;

// The Code 39 character values for the mod-43 check character (ISO/IEC 16388, table 1).
constexpr std::string_view kCode39Values = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%";

std::vector<std::string_view> splitParameters(std::string_view params)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t comma = params.find(',', start);
        parts.push_back(text::trimSpaces(params.substr(start, comma - start)));
        if (comma == std::string_view::npos)
            return parts;
        start = comma + 1;
    }
}

std::string_view parameter(const std::vector<std::string_view>& parts, std::size_t index)
{
    return index < parts.size() ? parts[index] : std::string_view{};
}

// A whole number, saturated at +-1e9; nullopt when the text does not start with one.
std::optional<long long> leadingNumber(std::string_view text)
{
    long long value = 0;
    bool negative = false;
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '-' || text[at] == '+'))
        negative = text[at++] == '-';
    if (at >= text.size() || text[at] < '0' || text[at] > '9')
        return std::nullopt;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = std::min(value * 10 + (text[at] - '0'), 1'000'000'000LL);
    return negative ? -value : value;
}

std::optional<double> decimalNumber(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<Orientation> orientationOf(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    switch (text.front()) {
    case 'N': case 'n': return Orientation::N;
    case 'R': case 'r': return Orientation::R;
    case 'I': case 'i': return Orientation::I;
    case 'B': case 'b': return Orientation::B;
    default: return std::nullopt;
    }
}

bool isYes(std::string_view text, bool byDefault)
{
    if (text.empty())
        return byDefault;
    return text.front() == 'Y' || text.front() == 'y';
}

QString quoted(std::string_view command)
{
    return QString::fromLatin1(command.data(), static_cast<qsizetype>(std::min<std::size_t>(command.size(), 40)));
}

// One field being put together between ^FO and ^FS.
struct FieldInProgress {
    QPoint origin;
    std::optional<Orientation> orientation;
    // Unset until ^A: the format's ^CF default then applies.
    std::optional<int> fontHeight;
    std::optional<int> fontWidth;
    bool reverse = false;
    std::optional<char> hexIndicator;
    bool code39 = false;
    Orientation barcodeOrientation = Orientation::N;
    bool checkDigit = false;
    int barHeight = 0;
    bool interpretation = true;
    bool interpretationAbove = false;
    std::string data;
    bool hasData = false;
    std::optional<ZplBox> box;

    bool drawsSomething() const { return hasData || box; }
};

class FormatInterpreter {
public:
    FormatInterpreter(int dpi, Warnings& warnings, int& width, int& length, QPoint& home, int& codePage,
                      int& moduleWidth, double& ratio, int& barHeight)
        : dpi_(dpi), limits_(dpi), warnings_(warnings), width_(width), length_(length), home_(home),
          codePage_(codePage), moduleWidth_(moduleWidth), ratio_(ratio), barHeight_(barHeight)
    {
    }

    // A format command by its upper-case name; false for a command this
    // interpreter does not know.
    bool apply(std::string_view name, std::string_view params)
    {
        const auto parts = splitParameters(params);
        if (name == "FO" || name == "FT") {
            if (name == "FT")
                warnings_.add("^FT is drawn as ^FO (field origin, not baseline)");
            field_.origin = home_ + QPoint(clampedNumber(parameter(parts, 0), 0, 0, limits_.coordinate, "^FO"),
                                           clampedNumber(parameter(parts, 1), 0, 0, limits_.coordinate, "^FO"));
        } else if (name == "A") {
            applyFont(params);
        } else if (name == "CF") {
            if (auto height = leadingNumber(parameter(parts, 1)))
                defaultFontHeight_ = static_cast<int>(std::clamp<long long>(*height, 1, limits_.fontDots));
            if (auto fontWidth = leadingNumber(parameter(parts, 2)))
                defaultFontWidth_ = static_cast<int>(std::clamp<long long>(*fontWidth, 1, limits_.fontDots));
        } else if (name == "FW") {
            if (auto orientation = orientationOf(parameter(parts, 0)))
                defaultOrientation_ = *orientation;
        } else if (name == "FR") {
            field_.reverse = true;
        } else if (name == "FH") {
            field_.hexIndicator = params.empty() ? '_' : params.front();
        } else if (name == "FD" || name == "FV") {
            appendData(params);
        } else if (name == "FS") {
            endField();
        } else if (name == "BY") {
            moduleWidth_ = clampedNumber(parameter(parts, 0), moduleWidth_, 1, kMaxModuleWidth, "^BY module width");
            if (auto ratio = decimalNumber(parameter(parts, 1)))
                ratio_ = std::clamp(std::round(*ratio * 10) / 10, 2.0, 3.0);
            barHeight_ = clampedNumber(parameter(parts, 2), barHeight_, 1, limits_.coordinate, "^BY height");
        } else if (name == "B3") {
            field_.code39 = true;
            field_.barcodeOrientation = orientationOf(parameter(parts, 0)).value_or(defaultOrientation_);
            field_.checkDigit = isYes(parameter(parts, 1), false);
            field_.barHeight = clampedNumber(parameter(parts, 2), barHeight_, 1, limits_.coordinate, "^B3 height");
            field_.interpretation = isYes(parameter(parts, 3), true);
            field_.interpretationAbove = isYes(parameter(parts, 4), false);
        } else if (name == "GB") {
            addBox(parts);
        } else if (name == "PQ") {
            setCopies(parameter(parts, 0));
        } else if (name == "PW") {
            width_ = clampedNumber(parameter(parts, 0), width_, 2, limits_.width, "^PW label width");
        } else if (name == "LL") {
            length_ = clampedNumber(parameter(parts, 0), length_, 1, limits_.length, "^LL label length");
        } else if (name == "LH") {
            home_ = QPoint(clampedNumber(parameter(parts, 0), home_.x(), 0, limits_.coordinate, "^LH"),
                           clampedNumber(parameter(parts, 1), home_.y(), 0, limits_.coordinate, "^LH"));
        } else if (name == "CI") {
            setCodePage(parameter(parts, 0));
        } else if (name == "FX" || name == "PR" || name == "MD" || name == "MN" || name == "ID") {
            // A comment, print speed, darkness, media tracking, object deletion: nothing drawn.
        } else {
            return false;
        }
        return true;
    }

    // The label as the format left it; a field without ^FS still prints.
    ZplLabel finish()
    {
        if (field_.drawsSomething())
            endField();
        label_.dpi = dpi_;
        label_.width = width_;
        label_.length = length_;
        return std::move(label_);
    }

    bool printsALabel() const { return !label_.fields.empty() || copiesGiven_ || field_.drawsSomething(); }

private:
    int clampedNumber(std::string_view text, int fallback, int low, int high, const char* what)
    {
        const auto value = leadingNumber(text);
        if (!value)
            return fallback;
        if (*value < low || *value > high) {
            warnings_.add(QString("%1 %2 is outside %3..%4 and was limited").arg(what).arg(*value).arg(low).arg(high));
            return static_cast<int>(std::clamp<long long>(*value, low, high));
        }
        return static_cast<int>(*value);
    }

    void applyFont(std::string_view params)
    {
        if (params.empty())
            return;
        const char fontName = params.front();
        if (fontName != '0')
            warnings_.add(QString("font %1 is drawn with font 0").arg(QChar::fromLatin1(fontName)));
        const auto parts = splitParameters(params.substr(1));
        field_.orientation = orientationOf(parameter(parts, 0));
        const int height = clampedNumber(parameter(parts, 1), defaultFontHeight_, 1, limits_.fontDots, "^A height");
        field_.fontHeight = height;
        field_.fontWidth = clampedNumber(parameter(parts, 2), height, 1, limits_.fontDots, "^A width");
    }

    void appendData(std::string_view data)
    {
        field_.hasData = true;
        if (!field_.hexIndicator) {
            field_.data += data;
            return;
        }
        const char indicator = *field_.hexIndicator;
        for (std::size_t at = 0; at < data.size(); ++at) {
            if (data[at] == indicator && at + 2 < data.size()) {
                int byte = 0;
                const auto [end, error] = std::from_chars(data.data() + at + 1, data.data() + at + 3, byte, 16);
                if (error == std::errc{} && end == data.data() + at + 3) {
                    field_.data += static_cast<char>(byte);
                    at += 2;
                    continue;
                }
                warnings_.add("^FH: an indicator not followed by two hexadecimal digits is printed as it stands");
            }
            field_.data += data[at];
        }
    }

    void setCopies(std::string_view text)
    {
        copiesGiven_ = true;
        const auto copies = leadingNumber(text);
        if (!copies || *copies < 1) {
            warnings_.add(QString("^PQ%1 is not a quantity; shown as 1").arg(quoted(text)));
            label_.copies = 1;
            return;
        }
        if (text.find_first_not_of("0123456789") != std::string_view::npos)
            warnings_.add(QString("^PQ%1 is read as %2").arg(quoted(text)).arg(*copies));
        label_.copies = static_cast<int>(std::min<long long>(*copies, 99'999'999));
    }

    void setCodePage(std::string_view text)
    {
        const auto page = leadingNumber(text);
        if (!page)
            return;
        codePage_ = static_cast<int>(std::clamp<long long>(*page, 0, 99));
        if (codePage_ > 13 && codePage_ != 28)
            warnings_.add(QString("^CI%1 is drawn as code page 850").arg(codePage_));
    }

    QString decoded(std::string_view bytes) const
    {
        if (codePage_ == 28)
            return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
        QString text;
        text.reserve(static_cast<qsizetype>(bytes.size()));
        for (char byte : bytes) {
            const char32_t c = characterOf(static_cast<unsigned char>(byte), CodePage::Cp850);
            text += QString::fromUcs4(&c, 1);
        }
        return text;
    }

    void addBox(const std::vector<std::string_view>& parts)
    {
        const int thickness = clampedNumber(parameter(parts, 2), 1, 1, limits_.coordinate, "^GB thickness");
        const int width = clampedNumber(parameter(parts, 0), thickness, thickness, limits_.coordinate, "^GB width");
        const int height = clampedNumber(parameter(parts, 1), thickness, thickness, limits_.coordinate, "^GB height");
        const auto colour = parameter(parts, 3);
        field_.box = ZplBox{QRect(field_.origin, QSize(width, height)), thickness,
                      colour.empty() || colour.front() != 'W', false};
    }

    void endField()
    {
        const Orientation orientation = field_.orientation.value_or(defaultOrientation_);
        if (field_.box) {
            field_.box->reverse = field_.reverse;
            label_.fields.emplace_back(*field_.box);
        } else if (field_.code39) {
            if (field_.hasData)
                label_.fields.emplace_back(code39Field());
        } else if (field_.hasData) {
            std::string_view data = field_.data;
            if (data.size() > kMaxFieldCharacters) {
                warnings_.add(QString("a field of %1 characters is cut to %2").arg(data.size()).arg(kMaxFieldCharacters));
                data = data.substr(0, kMaxFieldCharacters);
            }
            label_.fields.emplace_back(ZplText{field_.origin, orientation,
                                               field_.fontHeight.value_or(defaultFontHeight_),
                                               field_.fontWidth.value_or(defaultFontWidth_), decoded(data),
                                               field_.reverse});
        }
        field_ = FieldInProgress{};
    }

    ZplBarcode code39Field()
    {
        std::string symbols;
        int checkSum = 0;
        for (char c : std::string_view(field_.data).substr(0, kMaxFieldCharacters)) {
            if (barcode::Code39Elements(c).empty() || c == '*') {
                warnings_.add(QString("Code 39 cannot encode \"%1\"; it is left out").arg(decoded({&c, 1})));
                continue;
            }
            symbols += c;
            checkSum += static_cast<int>(kCode39Values.find(static_cast<char>(std::toupper(static_cast<unsigned char>(c)))));
        }
        if (field_.checkDigit)
            symbols += kCode39Values[static_cast<std::size_t>(checkSum % 43)];
        const std::string framed = "*" + symbols + "*";
        ZplBarcode bars;
        bars.origin = field_.origin;
        bars.orientation = field_.barcodeOrientation;
        bars.height = field_.barHeight;
        bars.moduleWidth = moduleWidth_;
        bars.reverse = field_.reverse;
        bars.interpretationAbove = field_.interpretationAbove;
        if (field_.interpretation)
            bars.interpretation = decoded(framed);
        const int wide = static_cast<int>(std::lround(moduleWidth_ * ratio_));
        for (std::size_t i = 0; i < framed.size(); ++i) {
            if (i > 0)
                bars.elements.push_back(moduleWidth_);  // the gap between characters
            for (char element : barcode::Code39Elements(framed[i]))
                bars.elements.push_back(element == 'W' ? wide : moduleWidth_);
        }
        return bars;
    }

    int dpi_;
    Limits limits_;
    Warnings& warnings_;
    int& width_;
    int& length_;
    QPoint& home_;
    int& codePage_;
    int& moduleWidth_;
    double& ratio_;
    int& barHeight_;
    int defaultFontHeight_ = kDefaultFontHeight;
    int defaultFontWidth_ = kDefaultFontWidth;
    Orientation defaultOrientation_ = Orientation::N;
    FieldInProgress field_;
    ZplLabel label_;
    bool copiesGiven_ = false;
};

}  // namespace

int zebraDpi(int dpi) { return dpi == 300 || dpi == 600 ? dpi : kZebraDotsPerInch; }

int dotsAt(int dpi, int dots203) { return (dots203 * twelfthsOfDot(dpi) + 6) / 12; }

double dotsPerStandardDot(int dpi) { return twelfthsOfDot(dpi) / 12.0; }

// A printer's default label is 4 inches wide and 6 long: 812 by 1218 dots at 203 dpi.
ZplReader::ZplReader(std::string_view bytes, int dpi)
    : bytes_(bytes), dpi_(zebraDpi(dpi)), width_(dotsAt(dpi_, 812)), length_(dotsAt(dpi_, 1218))
{
}

std::optional<ZplLabel> ZplReader::next()
{
    std::optional<FormatInterpreter> format;
    while (pos_ < bytes_.size()) {
        const std::size_t start = bytes_.find_first_of("^~", pos_);
        if (start == std::string_view::npos) {
            pos_ = bytes_.size();
            break;
        }
        const char prefix = bytes_[start];
        std::size_t at = start + 1;
        std::string name;
        while (at < bytes_.size() && name.size() < 2 && bytes_[at] != '^' && bytes_[at] != '~') {
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(bytes_[at])));
            ++at;
            if (name == "A" && prefix == '^')
                break;  // ^A is followed by the font name, not a second letter
        }
        const std::size_t end = std::min(bytes_.find_first_of("^~", at), bytes_.size());
        std::string params(bytes_.substr(at, end - at));
        std::erase_if(params, [](char c) { return c == '\r' || c == '\n'; });
        pos_ = end;

        if (name.size() < 2 && name != "A") {
            warnings_.add(QString("a cut-off command %1%2").arg(QChar::fromLatin1(prefix)).arg(QString::fromLatin1(name)));
            continue;
        }
        if (prefix == '~') {
            warnings_.add(QString("~%1 ignored").arg(QString::fromLatin1(name)));
            continue;
        }
        if (name == "XA") {
            if (format)
                warnings_.add("^XA inside a label format: the format starts again");
            format.emplace(dpi_, warnings_, width_, length_, home_, codePage_, moduleWidth_, ratio_, barHeight_);
            continue;
        }
        if (!format && name == "FX")
            continue;  // a comment, wherever it stands
        if (!format) {
            warnings_.add(QString("^%1 outside a label format (^XA ... ^XZ) ignored").arg(QString::fromLatin1(name)));
            continue;
        }
        if (name == "XZ") {
            if (format->printsALabel())
                return format->finish();
            format.reset();
            continue;
        }
        if (!format->apply(name, params))
            warnings_.add(QString("^%1 ignored").arg(QString::fromLatin1(name)));
    }
    if (format) {
        warnings_.add("the last label format is not ended by ^XZ");
        if (format->printsALabel())
            return format->finish();
    }
    return std::nullopt;
}

}  // namespace travcard::render
