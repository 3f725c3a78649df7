#include "config/database_login.h"

#include "tests/fixtures/data_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* secret = "s3cr;et}";
const std::string goodLogin = "# the plant's own login\r\n\r\nDSN=xfODBC\r\n  # comment\r\nUID=plant7\r\nPWD=" +
                              std::string(secret) + "\r\n";

std::string faultOf(const std::variant<DatabaseLogin, std::string>& read)
{
    const std::string* fault = std::get_if<std::string>(&read);
    return fault ? *fault : std::string();
}

struct ModeCase {
    mode_t mode;
    bool accepted;
};

void PrintTo(const ModeCase& c, std::ostream* out) { *out << std::oct << c.mode; }

class LoginFileMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(LoginFileMode, OnlyOwnerOrOwnerAndGroupMayRead)
{
    const ScratchDir dir;
    dir.write("database", goodLogin);
    ASSERT_EQ(chmod(dir.file("database").c_str(), GetParam().mode), 0);
    const std::variant<DatabaseLogin, std::string> read = readDatabaseLogin(dir.file("database"));
    if (GetParam().accepted) {
        ASSERT_EQ(faultOf(read), "");
        EXPECT_EQ(std::get<DatabaseLogin>(read).user, "plant7");
        EXPECT_EQ(std::get<DatabaseLogin>(read).password, secret);
        return;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(GetParam().mode));
    EXPECT_THAT(faultOf(read), AllOf(HasSubstr(dir.file("database")), HasSubstr(std::string("has mode ") + mode),
                                     HasSubstr("must be 0600 or 0640")));
}

INSTANTIATE_TEST_SUITE_P(Modes, LoginFileMode,
                         ::testing::Values(ModeCase{0600, true}, ModeCase{0640, true}, ModeCase{0644, false},
                                           ModeCase{0660, false}, ModeCase{0666, false}, ModeCase{0400, false},
                                           ModeCase{0700, false}, ModeCase{04600, false}));

TEST(LoginFile, WhatIsNoRegularFileOrIsMissingIsRefusedByName)
{
    const ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0600), 0);
    EXPECT_EQ(faultOf(readDatabaseLogin(dir.file("folder"))),
              "The database login file " + dir.file("folder") + " is not a regular file.");
    EXPECT_THAT(faultOf(readDatabaseLogin(dir.file("missing"))), HasSubstr("cannot be opened"));
    // Another user could change the login: refused (only root may give a file away to test it).
    dir.write("database", goodLogin);
    ASSERT_EQ(chmod(dir.file("database").c_str(), 0600), 0);
    if (geteuid() == 0 && chown(dir.file("database").c_str(), 65534, 65534) == 0) {
        EXPECT_THAT(faultOf(readDatabaseLogin(dir.file("database"))), HasSubstr("belongs to user 65534"));
    }
}

struct ContentCase {
    const char* name;
    std::string content;
    std::string fault;  // empty: accepted
};

void PrintTo(const ContentCase& c, std::ostream* out) { *out << c.name; }

class LoginContent : public ::testing::TestWithParam<ContentCase> {};

// A refusal names the line, never its text: a mistyped key holds the password.
TEST_P(LoginContent, IsRefusedByLineWithoutItsText)
{
    const std::string fault = faultOf(parseDatabaseLogin(GetParam().content));
    EXPECT_EQ(fault, GetParam().fault);
    EXPECT_THAT(fault, Not(HasSubstr("s3cr")));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LoginContent,
    ::testing::Values(ContentCase{"CommentsBlankLinesAndCrLf", goodLogin, ""},
                      ContentCase{"DsnAlone", "DSN=xfODBC", ""},
                      ContentCase{"LowerCaseKey", "DSN=x\npwd=s3cr\n", "line 2 is not DSN=, UID=, PWD= or JOURNAL_PWD= (nor blank, nor a # comment)"},
                      ContentCase{"SpaceBeforeKey", "DSN=x\n PWD=s3cr\n", "line 2 is not DSN=, UID=, PWD= or JOURNAL_PWD= (nor blank, nor a # comment)"},
                      ContentCase{"KeyTwice", "PWD=s3cr\nDSN=x\nPWD=s3cr2\n", "lines 1 and 3 both give PWD="},
                      ContentCase{"NoDsn", "UID=u\nPWD=s3cr\n", "it names no data source: a DSN= line is needed"},
                      ContentCase{"EmptyDsn", "DSN=\nPWD=s3cr\n", "it names no data source: a DSN= line is needed"}),
    [](const auto& info) { return info.param.name; });

// A password cannot end its attribute and add one: PWD=x;DSN=other stays a password.
TEST(LoginConnectionString, QuotesValuesThatCouldEndTheirAttribute)
{
    EXPECT_EQ(connectionStringOf({"xfODBC", "plant7", "plain-Pass_1", ""}), "DSN=xfODBC;UID=plant7;PWD=plain-Pass_1");
    EXPECT_EQ(connectionStringOf({"xfODBC", "", "p;DSN=other", ""}), "DSN=xfODBC;PWD={p;DSN=other}");
    EXPECT_EQ(connectionStringOf({"xfODBC", "plant7", "", ""}), "DSN=xfODBC;UID=plant7");
    EXPECT_EQ(odbcValue("a}b{c"), "{a}}b{c}");
    EXPECT_EQ(odbcValue("}"), "{}}}");
    EXPECT_EQ(odbcValue(" lead"), "{ lead}");
    EXPECT_EQ(odbcValue("trail\t"), "{trail\t}");
}

}  // namespace
