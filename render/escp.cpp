#include "render/escp.h"

#include "render/label_font.h"
#include "text/codepage.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace travcard::render {
namespace {

constexpr char kEsc = 0x1B;
constexpr int kCharacterPitch = kAcrossUnitsPerInch / 10;
// A wide-carriage printer: 136 columns. The ticket page's longest line runs
// past 80 columns, and its rows fill the 39-line form only when it does not wrap.
constexpr int kRightMargin = 136 * kCharacterPitch;
constexpr int kPinSpacing = kDownUnitsPerInch / 72;
constexpr int kBaselineBelowTop = 7 * kPinSpacing;
constexpr int kMaxPageLength = 22 * kDownUnitsPerInch;  // ESC C allows 22 inches
// Shorter pages are refused, so that paper steps cannot make pages by the thousand.
constexpr int kMinPageLength = kDownUnitsPerInch;

QString escName(unsigned char command)
{
    return command >= 0x21 && command < 0x7F ? QString("ESC %1").arg(QChar::fromLatin1(static_cast<char>(command)))
                                             : QString("ESC 0x%1").arg(command, 2, 16, QChar('0'));
}

// Parameter bytes of the ESC/P commands that this renderer leaves undrawn
// (type styles, margins, tabs, character sets), by the EPSON ESC/P reference.
// -1 for commands whose length depends on their data.
int fixedParameterCount(unsigned char command)
{
    switch (command) {
    case '0': case '1': case '2': case '4': case '5': case '6': case '7': case '8': case '9':
    case '<': case '=': case '>': case '#': case '@': case 'E': case 'F': case 'G': case 'H':
    case 'M': case 'O': case 'P': case 'T': case 'g': case 0x0E: case 0x0F:
        return 0;
    case '3': case 'A': case 'J': case '+': case '-': case '!': case '/': case 'N': case 'Q':
    case 'R': case 'S': case 'U': case 'W': case 'a': case 'i': case 'j': case 'k': case 'l':
    case 'p': case 'q': case 'r': case 's': case 't': case 'w': case 'x': case ' ': case 'I':
    case 'm': case '%': case 0x19:
        return 1;
    case '$': case '\\': case '?': case 'f': case 'e': case 'c':
        return 2;
    case ':': case 'X':
        return 3;
    default:
        return -1;
    }
}

}  // namespace

int EscpReader::byteAt(std::size_t offset) const
{
    return offset < bytes_.size() ? static_cast<unsigned char>(bytes_[offset]) : -1;
}

void EscpReader::startPage()
{
    page_.length = pageLength_;
    finished_.push_back(std::move(page_));
    page_ = EscpPage{};
}

void EscpReader::lineFeed(int units)
{
    y_ += units;
    while (y_ >= pageLength_) {
        y_ -= pageLength_;
        startPage();
    }
}

void EscpReader::printCharacter(unsigned char byte)
{
    if (x_ + kCharacterPitch > kRightMargin) {  // the printer wraps a long line
        x_ = 0;
        lineFeed(lineSpacing_);
    }
    const char32_t c = characterOf(byte, CodePage::Cp437);
    if (page_.texts.empty() || page_.texts.back().y != y_ ||
        page_.texts.back().x + kCharacterPitch * page_.texts.back().text.size() != x_)
        page_.texts.push_back({x_, y_, {}});
    page_.texts.back().text += QString::fromUcs4(&c, 1);
    x_ += kCharacterPitch;
}

void EscpReader::skip(std::size_t count, const QString& name)
{
    warnings_.add(name + " skipped");
    if (pos_ + count > bytes_.size())
        warnings_.add(name + ": the stream ends inside the command");
    pos_ = std::min(pos_ + count, bytes_.size());
}

void EscpReader::bitImage(int columnWidth, std::size_t columns, int bytesPerColumn)
{
    const std::size_t wanted = columns * static_cast<std::size_t>(bytesPerColumn);
    const std::size_t available = std::min(wanted, bytes_.size() - pos_);
    if (available < wanted)
        warnings_.add(QString("a bit image announces %1 columns; the stream ends after %2")
                          .arg(columns).arg(available / static_cast<std::size_t>(bytesPerColumn)));
    if (bytesPerColumn == 1) {
        const std::size_t drawn = std::min(available,
            static_cast<std::size_t>(std::max(0, kRightMargin - x_) / columnWidth + 1));
        if (drawn > 0)
            page_.images.push_back({x_, y_, columnWidth,
                                    QByteArray(bytes_.data() + pos_, static_cast<qsizetype>(drawn))});
    }
    pos_ += available;
    x_ = std::min(x_ + static_cast<int>(std::min<std::size_t>(available / static_cast<std::size_t>(bytesPerColumn),
                                                              100000)) * columnWidth,
                  kRightMargin + columnWidth);
}

void EscpReader::escape()
{
    const int command = byteAt(pos_);
    if (command < 0) {
        warnings_.add("the stream ends in an ESC");
        return;
    }
    ++pos_;
    const auto number = [&](std::size_t offset) { return std::max(0, byteAt(pos_ + offset)); };
    const auto need = [&](std::size_t count) {
        if (pos_ + count <= bytes_.size())
            return true;
        warnings_.add(escName(static_cast<unsigned char>(command)) + ": the stream ends inside the command");
        pos_ = bytes_.size();
        return false;
    };
    switch (command) {
    case 'J':
        if (need(1)) {
            lineFeed(number(0));
            ++pos_;
        }
        return;
    case '3':
        if (need(1)) {
            lineSpacing_ = number(0);
            ++pos_;
        }
        return;
    case 'A':
        if (need(1)) {
            lineSpacing_ = std::min(number(0), 85) * kPinSpacing;
            ++pos_;
        }
        return;
    case '0': lineSpacing_ = kDownUnitsPerInch / 8; return;
    case '1': lineSpacing_ = 7 * kPinSpacing; return;
    case '2': lineSpacing_ = kDownUnitsPerInch / 6; return;
    case '@': lineSpacing_ = kDownUnitsPerInch / 6; x_ = 0; return;
    case 'C':
        if (!need(1))
            return;
        if (number(0) > 0) {
            const int length = number(0) * lineSpacing_;
            if (length < kMinPageLength || length > kMaxPageLength)
                warnings_.add(QString("ESC C %1: a page length of %2/216 inch was limited to 1..22 inches")
                                  .arg(number(0)).arg(length));
            pageLength_ = std::clamp(length, kMinPageLength, kMaxPageLength);
            ++pos_;
        } else {
            if (!need(2))
                return;
            if (number(1) < 1 || number(1) > 22)
                warnings_.add(QString("ESC C 0 %1: a page length outside 1..22 inches was limited").arg(number(1)));
            pageLength_ = std::clamp(number(1), 1, 22) * kDownUnitsPerInch;
            pos_ += 2;
        }
        // ESC C makes the present position the top of the form.
        if (!page_.empty() || y_ > 0)
            startPage();
        y_ = 0;
        return;
    case 'K': case 'L': case 'Y': case 'Z': {
        if (!need(2))
            return;
        const std::size_t columns = static_cast<std::size_t>(number(0) + 256 * number(1));
        pos_ += 2;
        const int width = command == 'K' ? 12 : command == 'Z' ? 3 : 6;
        bitImage(width, columns, 1);
        return;
    }
    case '*': {
        if (!need(3))
            return;
        const int mode = number(0);
        const std::size_t columns = static_cast<std::size_t>(number(1) + 256 * number(2));
        pos_ += 3;
        static constexpr int kWidthOfMode[] = {12, 6, 6, 3, 9, 10, 8, 5};
        if (mode < 8) {
            bitImage(kWidthOfMode[mode], columns, 1);
        } else {
            warnings_.add(QString("ESC * mode %1 (24- or 48-pin graphics) skipped").arg(mode));
            bitImage(3, columns, mode >= 64 ? 6 : 3);
        }
        return;
    }
    case '^': {
        if (!need(3))
            return;
        const std::size_t columns = static_cast<std::size_t>(number(1) + 256 * number(2));
        pos_ += 3;
        skip(2 * columns, "ESC ^ (9-pin graphics)");
        return;
    }
    case 'B': case 'D': {  // tab stops, ended by NUL
        const std::size_t end = bytes_.find('\0', pos_);
        skip((end == std::string_view::npos ? bytes_.size() : end + 1) - pos_, escName(static_cast<unsigned char>(command)));
        return;
    }
    case '(': {  // ESC ( c nL nH data
        if (!need(3))
            return;
        const QString name = QString("ESC ( %1").arg(QChar::fromLatin1(static_cast<char>(number(0))));
        const std::size_t length = static_cast<std::size_t>(number(1) + 256 * number(2));
        pos_ += 3;
        skip(length, name);
        return;
    }
    default:
        break;
    }
    const int count = fixedParameterCount(static_cast<unsigned char>(command));
    if (count < 0) {
        warnings_.add(escName(static_cast<unsigned char>(command)) + " unknown; skipped without parameters");
        return;
    }
    skip(static_cast<std::size_t>(count), escName(static_cast<unsigned char>(command)));
}

std::optional<EscpPage> EscpReader::next()
{
    while (finished_.empty() && pos_ < bytes_.size()) {
        const auto byte = static_cast<unsigned char>(bytes_[pos_++]);
        switch (byte) {
        case kEsc: escape(); break;
        case '\r': x_ = 0; break;
        case '\n': case 0x0B: x_ = 0; lineFeed(lineSpacing_); break;
        case 0x0C: x_ = 0; y_ = 0; startPage(); break;
        case 0x08: x_ = std::max(0, x_ - kCharacterPitch); break;
        case '\t': x_ = std::min((x_ / (8 * kCharacterPitch) + 1) * 8 * kCharacterPitch, kRightMargin); break;
        default:
            if (byte >= 0x20 && byte != 0x7F)
                printCharacter(byte);
            break;  // BEL, SO, SI, DC1..DC4, CAN, DEL: nothing drawn
        }
    }
    if (finished_.empty()) {
        if (page_.empty())
            return std::nullopt;
        startPage();
    }
    EscpPage page = std::move(finished_.front());
    finished_.erase(finished_.begin());
    return page;
}

namespace {

int pixelsAcross(int units) { return units * kEpsonImageDotsPerInch / kAcrossUnitsPerInch; }
int pixelsDown(int units) { return units * kEpsonImageDotsPerInch / kDownUnitsPerInch; }

}  // namespace

RenderedPage drawEscpPage(const EscpPage& page)
{
    QImage image(pixelsAcross(kRightMargin), std::max(1, pixelsDown(page.length)), QImage::Format_Grayscale8);
    image.fill(Qt::white);
    const int dotsPerMeter = static_cast<int>(std::lround(kEpsonImageDotsPerInch / 0.0254));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (const EscpImage& bits : page.images) {
        for (qsizetype column = 0; column < bits.columns.size(); ++column) {
            const auto pins = static_cast<unsigned char>(bits.columns[column]);
            const int left = pixelsAcross(bits.x + static_cast<int>(column) * bits.columnWidth);
            const int right = pixelsAcross(bits.x + static_cast<int>(column + 1) * bits.columnWidth);
            for (int pin = 0; pin < 8;) {
                if (!(pins & (0x80 >> pin))) {
                    ++pin;
                    continue;
                }
                int end = pin;
                while (end < 8 && (pins & (0x80 >> end)))
                    ++end;
                const int top = pixelsDown(bits.y + pin * kPinSpacing);
                const int bottom = pixelsDown(bits.y + end * kPinSpacing);
                painter.drawRect(left, top, right - left, bottom - top);
                pin = end;
            }
        }
    }
    static const QString family = epsonFontFamily();
    QFont font(family.isEmpty() ? QString("Monospace") : family);
    font.setStyleStrategy(QFont::NoAntialias);
    font.setPixelSize(pixelsDown(9 * kPinSpacing));
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (const EscpText& run : page.texts) {
        const int baseline = pixelsDown(run.y + kBaselineBelowTop);
        for (qsizetype i = 0; i < run.text.size(); ++i) {
            const int left = pixelsAcross(run.x + static_cast<int>(i) * kCharacterPitch);
            painter.drawText(left, baseline, QString(run.text[i]));
        }
    }
    painter.end();
    return {std::move(image), 1, page.empty()};
}

}  // namespace travcard::render
