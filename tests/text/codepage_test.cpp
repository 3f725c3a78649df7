#include "text/codepage.h"

#include <gtest/gtest.h>

namespace {

struct CodePageCase {
    const char* name;
    CodePage codePage;
    std::string utf8;
    std::string bytes;
};

void PrintTo(const CodePageCase& c, std::ostream* out) { *out << c.name; }

class PrinterBytes : public ::testing::TestWithParam<CodePageCase> {};

TEST_P(PrinterBytes, AreOneBytePerCharacter)
{
    EXPECT_EQ(toPrinterBytes(GetParam().utf8, GetParam().codePage), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrinterBytes,
    ::testing::Values(
        CodePageCase{"AsciiUnchanged", CodePage::Cp850, "WIDGET-100 ^~_ ", "WIDGET-100 ^~_ "},
        CodePageCase{"UmlautIn850", CodePage::Cp850, "M\u00fcller", "M\x81ller"},
        CodePageCase{"UmlautIn437", CodePage::Cp437, "M\u00fcller", "M\x81ller"},
        // Ø exists in code page 850 only; ¥ in 437 only.
        CodePageCase{"OSlashIn850", CodePage::Cp850, "\u00d8", "\x9d"},
        CodePageCase{"OSlashMissingIn437", CodePage::Cp437, "\u00d8", "?"},
        CodePageCase{"YenIn437", CodePage::Cp437, "\u00a5", "\x9d"},
        CodePageCase{"EuroMissing", CodePage::Cp850, "5\u20ac", "5?"},
        CodePageCase{"ControlCharacters", CodePage::Cp437, "a\rb\nc\x1B" "d\te\x7F", "a?b?c?d?e?"},
        CodePageCase{"C1Controls", CodePage::Cp850, "x\u0085y", "x?y"},
        CodePageCase{"MalformedUtf8", CodePage::Cp850, "a\xFF" "b\xC3", "a?b?"},
        CodePageCase{"OutsideBmp", CodePage::Cp850, "\U0001F600", "?"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
