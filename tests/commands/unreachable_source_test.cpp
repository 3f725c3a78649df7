// Start-up against a data source whose server does not answer.

#include "tests/fixtures/main_window_fixture.h"

namespace {

using StartUpWithoutServer = MainWindowTest;

TEST_F(StartUpWithoutServer, ReportsTheErrorNumberAndTextAndEndsTheProgram)
{
    dir.write("travcard.cfg", "PRINTER=" + printerFile() + "\r\nPRTTYPE=ZEBRA\r\n");
    window = std::make_unique<frmMain>(&messages);
    EXPECT_NE(window->Form_Load(dir.path()).value_or(0), 0);
    ASSERT_EQ(messages.shown.size(), 1u) << ::testing::PrintToString(messages.texts());
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Critical);
    EXPECT_THAT(messages.shown[0].text, ::testing::StartsWith("Database error "));
    EXPECT_THAT(messages.shown[0].text, ::testing::HasSubstr("SQLSTATE 08001"));
    EXPECT_FALSE(db().isOpen());
}

}  // namespace
