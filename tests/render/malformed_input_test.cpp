// Truncated, absurd and random streams: the renderer warns, draws a bounded
// image and never crashes.

#include "render/printer_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <random>

namespace {

using namespace travcard::render;

// Largest image any page may have: 8 by 30 inches at 203 dpi in 32 bits,
// 13.6 by 22 inches at 240 dpi in 8 bits.
constexpr qsizetype kMaxImageBytes = 40LL << 20;

struct Outcome {
    int pages = 0;
    std::vector<std::string> warnings;
};

Outcome renderEverything(const std::string& bytes, PrinterKind kind)
{
    PageRenderer renderer(QByteArray::fromStdString(bytes), kind);
    Outcome outcome;
    while (auto page = renderer.next()) {
        ++outcome.pages;
        EXPECT_LE(page->image.sizeInBytes(), kMaxImageBytes);
        EXPECT_GE(page->copies, 1);
    }
    for (const QString& warning : renderer.warnings())
        outcome.warnings.push_back(warning.toStdString());
    return outcome;
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Malformed {
    const char* name;
    std::string bytes;
    PrinterKind kind;
    const char* warning;  // part of one warning
};

void PrintTo(const Malformed& m, std::ostream* out) { *out << m.name; }

class MalformedStream : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedStream, WarnsAndStaysBounded)
{
    const Outcome outcome = renderEverything(GetParam().bytes, GetParam().kind);
    EXPECT_THAT(outcome.warnings, ::testing::Contains(::testing::HasSubstr(GetParam().warning)));
}

using std::string_literals::operator""s;

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedStream,
    ::testing::Values(
        Malformed{"HugeOrigin", "^XA^FO99999999,99999999^A0N,50,50^FDX^FS^XZ", PrinterKind::Zebra, "^FO 99999999 is outside"},
        Malformed{"HugeLabel", "^XA^PW99999^LL99999999^FO0,0^FDX^FS^XZ", PrinterKind::Zebra, "^LL label length"},
        Malformed{"HugeFont", "^XA^FO0,0^A0N,99999,99999^FDX^FS^XZ", PrinterKind::Zebra, "^A height"},
        Malformed{"HugeBars", "^XA^BY99,9.9,99999^FO0,0^B3N,N,999999^FDX^FS^XZ", PrinterKind::Zebra, "^BY"},
        Malformed{"NoEnd", "^XA^FO10,10^A0N,30,30^FDcut off", PrinterKind::Zebra, "not ended by ^XZ"},
        Malformed{"CutCommand", "^XA^FO1,1^FDX^FS^X", PrinterKind::Zebra, "cut-off command"},
        Malformed{"UnknownCommand", "^XA^GC100,10,B^FS^FO0,0^FDX^FS^XZ", PrinterKind::Zebra, "^GC ignored"},
        Malformed{"BadHex", "^XA^FO0,0^FH^FD_G1_4^FS^XZ", PrinterKind::Zebra, "^FH"},
        Malformed{"NotCode39", "^XA^FO0,0^B3^FDab#c^FS^XZ", PrinterKind::Zebra, "Code 39 cannot encode \"#\""},
        Malformed{"BadQuantity", "^XA^FO0,0^FDX^FS^PQ-2,0,0,N^XZ", PrinterKind::Zebra, "^PQ-2"},
        Malformed{"LongField", "^XA^FO0,0^FD" + std::string(100000, 'W') + "^FS^XZ", PrinterKind::Zebra, "cut to"},
        Malformed{"ImagePastEnd", "A\x1BL\xFF\xFF\xFF\xFF", PrinterKind::Epson, "announces 65535 columns"},
        Malformed{"EscAtEnd", "A\x1B", PrinterKind::Epson, "ends in an ESC"},
        Malformed{"PageLengthCut", "A\x1B" "C", PrinterKind::Epson, "ESC C: the stream ends"},
        Malformed{"TinyPageLength", "\x1B" "3\x01\x1B" "C\x01" + std::string(3000, '\n') + "A",
                  PrinterKind::Epson, "limited to 1..22 inches"},
        Malformed{"ZeroPageLength", "A\x1B" "C\0\0B"s, PrinterKind::Epson, "outside 1..22 inches"},
        Malformed{"Graphics24Pin", "\x1B*\x20\xFF\xFF" "A", PrinterKind::Epson, "24- or 48-pin"},
        Malformed{"UnknownEscape", "\x1B\x7F" "A", PrinterKind::Epson, "unknown"},
        Malformed{"LengthPrefixed", "\x1B(c\xFF\xFF" "A", PrinterKind::Epson, "ESC ( c"}),
    [](const auto& info) { return info.param.name; });

TEST(RandomStreams, NeverCrashAndStayWithinAMemoryBound)
{
    std::mt19937 random(20261208);
    // Bytes that start commands come often, so that most inputs reach deep into the parsers.
    const std::string alphabet = "^~,XAZFODSBY3R0123456789\x1B\r\n\x0C" "CJLK*3@";
    std::uniform_int_distribution<int> anyByte(0, 255);
    std::uniform_int_distribution<std::size_t> fromAlphabet(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 600);
    for (int round = 0; round < 300; ++round) {
        std::string bytes;
        const int size = length(random);
        for (int i = 0; i < size; ++i)
            bytes += anyByte(random) < 128 ? alphabet[fromAlphabet(random)] : static_cast<char>(anyByte(random));
        renderEverything(bytes, round % 2 ? PrinterKind::Zebra : PrinterKind::Epson);
    }
    EXPECT_LT(peakKilobytes(), 400 * 1024);
}

}  // namespace
