// DATABASE= as a plant uses it: the real program logs in to the throwaway
// PostgreSQL server as the role its login file names; a file it must not
// use is refused before any login, by a print and by the service; a
// password is never shown.

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/travcard_program.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Its ; } and { must not end the attribute in the connection string.
constexpr const char* rolePassword = "pl;an}t{7 pw";

struct Ended {
    int status = -1;
    std::string out;
    std::string err;
};

// psql as the server's superuser, over its socket.
bool psql(const std::string& sql)
{
    const char* folder = std::getenv("TRAVCARD_PG_DIR");
    const char* port = std::getenv("TRAVCARD_PG_PORT");
    QProcess process;
    process.start("psql", {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", folder, "-p", port, "-U", "postgres", "-d",
                           "travcard", "-c", QString::fromStdString(sql)});
    return process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

class DatabaseLoginFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("TRAVCARD_PG_DIR") || !std::getenv("TRAVCARD_PG_PORT"))
            GTEST_SKIP() << "needs the PostgreSQL server of scripts/test (TRAVCARD_PG_DIR, TRAVCARD_PG_PORT)";
        installProgram(programDir, "PRINTER=" + dir.file("lp") + "\r\nPRTTYPE=ZEBRA\r\nDATABASE=" +
                                       dir.file("database") + "\r\nSERVICE_TOKENS=" + dir.file("tokens") + "\r\n");
        ASSERT_TRUE(psql("CREATE ROLE " + role + " LOGIN PASSWORD '" + rolePassword + "'; GRANT SELECT ON ALL TABLES "
                         "IN SCHEMA public TO " + role));
        created = true;
    }
    void TearDown() override
    {
        if (journalMade) {
            EXPECT_TRUE(psql("DROP DATABASE IF EXISTS " + journalRole));
            EXPECT_TRUE(psql("DROP ROLE " + journalRole));
        }
        if (created) {
            EXPECT_TRUE(psql("DROP OWNED BY " + role + "; DROP ROLE " + role));
        }
    }

    void writeLogin(const std::string& password, mode_t mode) const
    {
        dir.write("database", "# the station's own login\nDSN=xfODBC\nUID=" + role + "\nPWD=" + password + "\n");
        ASSERT_EQ(chmod(dir.file("database").c_str(), mode), 0);
    }

    Ended travcard(const QStringList& arguments) const
    {
        QProcess program;
        startWithoutDisplay(program, programDir.file("travcard"), arguments, dir.path());
        EXPECT_TRUE(program.waitForFinished(60'000));
        return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                program.readAllStandardOutput().toStdString(), program.readAllStandardError().toStdString()};
    }

    Ended print() const { return travcard({"print", "--location", "ST", "--order", "12345", "--json"}); }

    static QString reasonOf(const Ended& ended)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(ended.out)).object()["reason"].toString();
    }

    const std::string role = "travcard_login_" + std::to_string(::getpid());
    bool created = false;
    // The journal's role, with a password of its own, and its database.
    const std::string journalRole = "travcard_journal_" + std::to_string(::getpid());
    bool journalMade = false;
    ScratchDir programDir;
    ScratchDir dir;
};

// The role exists only with its password: the print that succeeds logged
// in as the file says, and the server names the role it refused.
TEST_F(DatabaseLoginFile, LogsInAsItsRoleAndNeverShowsAPassword)
{
    writeLogin(rolePassword, 0600);
    const Ended printed = print();
    EXPECT_EQ(printed.status, 0) << printed.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("lp")));
    std::filesystem::remove(dir.file("lp"));

    const std::string wrong = "wr;ong}pw";
    writeLogin(wrong, 0640);
    const Ended refused = print();
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(reasonOf(refused), "database_unreachable");
    EXPECT_THAT(refused.err, HasSubstr("\"" + role + "\""));
    for (const std::string& password : {wrong, std::string(rolePassword), std::string("ong")})
        EXPECT_THAT(refused.out + refused.err, Not(HasSubstr(password)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp")));
}

// A journal URI without a password takes the file's JOURNAL_PWD=, not its
// PWD=: the run printed is in the journal that history then reads.
TEST_F(DatabaseLoginFile, GivesAJournalOnAServerItsPassword)
{
    const std::string journalPassword = "jo'ur;nal pw";
    ASSERT_TRUE(psql("CREATE ROLE " + journalRole + " LOGIN PASSWORD 'jo''ur;nal pw'"));
    journalMade = true;
    ASSERT_TRUE(psql("CREATE DATABASE " + journalRole + " OWNER " + journalRole));
    const std::string journal =
        "postgresql://" + journalRole + "@127.0.0.1:" + std::getenv("TRAVCARD_PG_PORT") + "/" + journalRole;
    programDir.write("travcard.cfg", "PRINTER=" + dir.file("lp") + "\r\nPRTTYPE=ZEBRA\r\nDATABASE=" +
                                         dir.file("database") + "\r\nJOURNAL=" + journal + "\r\n");
    dir.write("database", "DSN=xfODBC\nUID=" + role + "\nPWD=" + rolePassword + "\nJOURNAL_PWD=" + journalPassword + "\n");
    ASSERT_EQ(chmod(dir.file("database").c_str(), 0600), 0);
    const Ended printed = print();
    EXPECT_EQ(printed.status, 0) << printed.err;
    const Ended history = travcard({"history", "--order", "12345", "--json"});
    EXPECT_EQ(history.status, 0) << history.err;
    EXPECT_THAT(history.out, HasSubstr("\"order\":\"12345\""));
    for (const std::string& password : {journalPassword, std::string(rolePassword)})
        EXPECT_THAT(printed.out + printed.err + history.out + history.err, Not(HasSubstr(password)));

    // A refused file gives no password, and the journal's refusal says why.
    ASSERT_EQ(chmod(dir.file("database").c_str(), 0644), 0);
    const Ended refused = travcard({"history", "--order", "12345", "--json"});
    EXPECT_NE(refused.status, 0);
    EXPECT_THAT(refused.err, HasSubstr("The database login file " + dir.file("database") + " has mode 0644"));
}

TEST_F(DatabaseLoginFile, AFileOthersMayReadIsRefusedByEveryDoor)
{
    writeLogin(rolePassword, 0644);
    const Ended printed = print();
    EXPECT_EQ(printed.status, 3);
    EXPECT_EQ(reasonOf(printed), "credentials_unusable");
    EXPECT_THAT(printed.err, HasSubstr("The database login file " + dir.file("database") + " has mode 0644"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp")));

    dir.write("tokens", "erp 0123456789abcdef0123456789abcdef\n");
    ASSERT_EQ(chmod(dir.file("tokens").c_str(), 0600), 0);
    const QStringList serve{"serve", "--listen", "127.0.0.1:0", "--journal", QString::fromStdString(dir.file("j.sqlite"))};
    const Ended service = travcard(serve);
    EXPECT_EQ(service.status, 1);
    EXPECT_THAT(service.err, HasSubstr("the service does not start: The database login file " + dir.file("database")));
    // The service's own file, when there, stands in for DATABASE=.
    dir.write("service-login", "DSN=xfODBC\nPWD=" + std::string(rolePassword) + "\nother\n");
    ASSERT_EQ(chmod(dir.file("service-login").c_str(), 0640), 0);
    const Ended own = travcard(serve + QStringList{"--database-if-present", QString::fromStdString(dir.file("service-login"))});
    EXPECT_EQ(own.status, 1);
    EXPECT_THAT(own.err, HasSubstr(dir.file("service-login") + " cannot be used: line 3 is not DSN="));
    EXPECT_THAT(own.err, Not(HasSubstr(rolePassword)));
}

}  // namespace
