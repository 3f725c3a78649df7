#include "config/config_file.h"

#include "tests/fixtures/data_source.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

namespace {

struct LinesCase {
    const char* name;
    std::string content;
    std::vector<std::string_view> lines;
};

void PrintTo(const LinesCase& c, std::ostream* out) { *out << c.name; }

class ConfigLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(ConfigLines, EndAtCrLfLoneCrOrLoneLf)
{
    EXPECT_EQ(splitConfigLines(GetParam().content), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ConfigLines,
    ::testing::Values(
        LinesCase{"CrLf", "A\r\nB\r\n", {"A", "B"}},
        LinesCase{"LoneCr", "A\rB\r", {"A", "B"}},
        LinesCase{"LoneLf", "A\nB\n", {"A", "B"}},
        LinesCase{"Mixed", "A\r\nB\nC\rD", {"A", "B", "C", "D"}},
        LinesCase{"BlankLinesKept", "A\n\r\n\rB", {"A", "", "", "B"}},
        LinesCase{"LfCrIsTwoEndings", "A\n\rB", {"A", "", "B"}},
        LinesCase{"NoFinalEnding", "A", {"A"}},
        LinesCase{"Empty", "", {}}),
    [](const auto& info) { return info.param.name; });

struct ParseCase {
    const char* name;
    std::string content;
    std::string printer;
    std::string printerType;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

// JOURNAL_DAYS= shares its first eight characters with JOURNAL=, which must
// not take it for a journal named "DAYS=...".
TEST(ConfigJournalKeys, JournalAndJournalDaysAreTwoKeys)
{
    const ConfigValues values = parseConfig("JOURNAL=/srv/j.sqlite\r\nJOURNAL_DAYS=30\r\nJOURNAL_X=1\r\n");
    EXPECT_EQ(values.journal, "/srv/j.sqlite");
    EXPECT_EQ(values.journalDays, "30");
}

class ConfigKeys : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConfigKeys, AreKnownByTheirFirstEightCharacters)
{
    const ConfigValues values = parseConfig(GetParam().content);
    EXPECT_EQ(values.printer, GetParam().printer);
    EXPECT_EQ(values.printerType, GetParam().printerType);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigKeys,
    ::testing::Values(
        ParseCase{"BothKeys", "PRINTER=/dev/usb/lp0\r\nPRTTYPE=ZEBRA\r\n", "/dev/usb/lp0", "ZEBRA"},
        ParseCase{"LfOnlyFile", "PRTTYPE=EPSON\nPRINTER=lpt\n", "lpt", "EPSON"},
        ParseCase{"ValueVerbatim", "PRINTER= a = b \r\n", " a = b ", ""},
        ParseCase{"LastOccurrenceWins", "PRINTER=first\nPRINTER=second\n", "second", ""},
        ParseCase{"EmptyValue", "PRINTER=\n", "", ""},
        ParseCase{"LowerCaseKeyIgnored", "printer=x\nprttype=ZEBRA\n", "", ""},
        ParseCase{"LeadingSpaceIgnored", " PRINTER=x\n", "", ""},
        ParseCase{"SpaceBeforeEqualsIgnored", "PRINTER =x\n", "", ""},
        ParseCase{"CommentsIgnored", "; PRINTER=x\n# PRTTYPE=ZEBRA\n", "", ""},
        ParseCase{"ShortLinesIgnored", "PRINTER\nPRTTYP\n", "", ""},
        ParseCase{"TrailingSpaceKept", "PRTTYPE=ZEBRA \n", "", "ZEBRA "}),
    [](const auto& info) { return info.param.name; });

TEST(ConfigFile, ReadsTheWholeFileAsBytes)
{
    ScratchDir dir;
    dir.write("travcard.cfg", std::string("PRINTER=M\xFC\r\nPRTTYPE=ZEBRA\r\n"));
    const ConfigFileRead read = readConfigFile(dir.file("travcard.cfg"));
    ASSERT_TRUE(read.opened);
    EXPECT_EQ(parseConfig(read.content).printer, "M\xFC");
}

TEST(ConfigFile, MissingFileReportsTheOpenError)
{
    ScratchDir dir;
    const ConfigFileRead read = readConfigFile(dir.file("travcard.cfg"));
    EXPECT_FALSE(read.opened);
    EXPECT_EQ(read.error, ENOENT);
}

TEST(ConfigFile, ADirectoryIsNoConfigurationFile)
{
    ScratchDir dir;
    mkdir(dir.file("travcard.cfg").c_str(), 0700);
    const ConfigFileRead read = readConfigFile(dir.file("travcard.cfg"));
    EXPECT_FALSE(read.opened);
    EXPECT_EQ(read.error, EISDIR);
}

}  // namespace
