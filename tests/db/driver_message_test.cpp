#include "db/odbc.h"

#include <gtest/gtest.h>

namespace {

TEST(DriverMessage, BlanksAndBlankLinesAreFoldedForAMessageBox)
{
    // psqlODBC's report of a backend ended by the server, as it comes.
    const std::string text =
        "FATAL:  terminating connection due to administrator command\n"
        "server closed the connection unexpectedly\n"
        "\tThis probably means the server terminated abnormally\r\n"
        "\tbefore or while processing the request.   \n"
        " \n\n\t\n"
        "The connection has been lost\n\n";
    EXPECT_EQ(odbc::cleanDriverText(text),
              "FATAL: terminating connection due to administrator command\n"
              "server closed the connection unexpectedly\n"
              "This probably means the server terminated abnormally\n"
              "before or while processing the request.\n"
              "\n"
              "The connection has been lost");
}

TEST(DriverMessage, ALongTextIsCutBetweenCharacters)
{
    std::string text;
    for (int i = 0; i < 700; ++i)
        text += "\u00e9";  // two bytes each
    const std::string cleaned = odbc::cleanDriverText(text);
    std::string expected;
    for (int i = 0; i < 597; ++i)
        expected += "\u00e9";
    EXPECT_EQ(cleaned, expected + "...");
    EXPECT_EQ(odbc::cleanDriverText(text.substr(0, 1200)), text.substr(0, 1200)) << "600 characters stay whole";
}

TEST(DriverMessage, TheReportSaysWhatHappenedFirstThenNumberStateAndCleanedText)
{
    odbc::Error error("08001", 101, "could not connect:\tConnection refused");
    EXPECT_EQ(odbc::describe(error), "Database error 101 (SQLSTATE 08001):\ncould not connect: Connection refused");
    error.setSummary("The connection to the database was lost and could not be reopened.");
    EXPECT_EQ(odbc::describe(error),
              "The connection to the database was lost and could not be reopened.\n"
              "Database error 101 (SQLSTATE 08001):\ncould not connect: Connection refused");
}

// Some drivers echo the connection string they were given when a login fails.
TEST(DriverMessage, AFailedConnectShowsNoPassword)
{
    const std::string connection = "DSN=xfODBC;UID=plant7;PWD={s3c;r}}et}";
    const std::string echoed = "[drv]login failed for plant7 (DSN=xfODBC;UID=plant7;PWD={s3c;r}}et})\n"
                               "password s3c;r}et rejected; Password=hunter2;retry";
    EXPECT_EQ(odbc::withoutPassword(echoed, connection),
              "[drv]login failed for plant7 (DSN=xfODBC;UID=plant7;PWD=***)\n"
              "password *** rejected; Password=***;retry");
}

}  // namespace
