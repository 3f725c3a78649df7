#include "commands/startup.h"

#include "tests/fixtures/main_window_fixture.h"

#include <cerrno>

namespace {

using ::testing::ElementsAre;

struct ConfigFault {
    const char* name;
    std::string content;
    std::string message;
};

void PrintTo(const ConfigFault& fault, std::ostream* out) { *out << fault.name; }

class ConfigurationFaults : public ::testing::TestWithParam<ConfigFault> {};

TEST_P(ConfigurationFaults, ShowOneMessageWithoutIconAndEndTheProgram)
{
    ScratchDir dir;
    dir.write("travcard.cfg", GetParam().content);
    RecordingMessageBox messages;
    EXPECT_FALSE(loadPrinterSettings(dir.path(), messages));
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{GetParam().message, MessageIcon::None}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigurationFaults,
    ::testing::Values(
        ConfigFault{"EmptyFile", "", "PRINTER= not defined in configuration file."},
        ConfigFault{"NeitherKey", "; printer setup\r\n", "PRINTER= not defined in configuration file."},
        ConfigFault{"PrinterEmpty", "PRINTER=\r\nPRTTYPE=ZEBRA\r\n",
                    "PRINTER= not defined in configuration file."},
        ConfigFault{"PrinterLowerCase", "printer=lp\r\nPRTTYPE=ZEBRA\r\n",
                    "PRINTER= not defined in configuration file."},
        ConfigFault{"NoType", "PRINTER=lp\r\n", "PRTTYPE= not defined in configuration file."},
        ConfigFault{"TypeEmpty", "PRINTER=lp\r\nPRTTYPE=\r\n",
                    "PRTTYPE= not defined in configuration file."},
        ConfigFault{"TypeUnknown", "PRINTER=lp\r\nPRTTYPE=LASER\r\n",
                    "PRTTYPE=LASER is not valid.  Must be ZEBRA or EPSON."},
        ConfigFault{"TypeWithTrailingSpace", "PRINTER=lp\r\nPRTTYPE=ZEBRA \r\n",
                    "PRTTYPE=ZEBRA  is not valid.  Must be ZEBRA or EPSON."},
        ConfigFault{"PrinterCheckedBeforeType", "PRTTYPE=LASER\r\n",
                    "PRINTER= not defined in configuration file."},
        ConfigFault{"ResolutionUnknown", "PRINTER=lp\r\nPRTTYPE=ZEBRA\r\nDPI=250\r\n",
                    "DPI=250 is not valid.  Must be 203, 300, 600 or AUTO."}),
    [](const auto& info) { return info.param.name; });

TEST(Configuration, MissingFileNamesTheFolderThenTheErrorNumber)
{
    ScratchDir dir;
    RecordingMessageBox messages;
    EXPECT_FALSE(loadPrinterSettings(dir.path(), messages));
    EXPECT_THAT(messages.texts(), ElementsAre("travcard.cfg does not exist in: " + dir.path(),
                                              "Error = " + std::to_string(ENOENT)));
}

TEST(Configuration, TypeIsCaseInsensitiveAndSetsExactlyOneFlag)
{
    ScratchDir dir;
    RecordingMessageBox messages;
    dir.write("travcard.cfg", "PRTTYPE=zebra\nPRINTER=lp 1 = x\n");
    const auto zebra = loadPrinterSettings(dir.path(), messages);
    ASSERT_TRUE(zebra);
    EXPECT_EQ(zebra->kind, PrinterKind::Zebra);
    EXPECT_EQ(zebra->name, "lp 1 = x");

    dir.write("travcard.cfg", "PRINTER=lp\rPRTTYPE=Epson\r");
    const auto epson = loadPrinterSettings(dir.path(), messages);
    ASSERT_TRUE(epson);
    EXPECT_EQ(epson->kind, PrinterKind::Epson);
    EXPECT_TRUE(messages.shown.empty());
}

using StartUp = MainWindowTest;

TEST_F(StartUp, OpensTheDatabaseAndSetsTheInitialState)
{
    start();
    EXPECT_TRUE(db().isOpen());
    EXPECT_EQ(db().lastStatement(), "select * from PUBLIC.ITMMAS_BASE");
    EXPECT_EQ(window->txtSuffix->text(), "0");
    EXPECT_FALSE(window->cmdPrint->isEnabled());
    EXPECT_EQ(printer().kind, PrinterKind::Zebra);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(StartUp, AConfigurationFaultNeverTouchesTheDatabase)
{
    dir.write("travcard.cfg", "PRINTER=lp\r\n");
    window = std::make_unique<frmMain>(&messages);
    EXPECT_NE(window->Form_Load(dir.path()).value_or(0), 0);
    EXPECT_FALSE(db().isOpen());
    EXPECT_EQ(messages.shown.size(), 1u);
}

}  // namespace
