// travcard --help as a person reads it: the real program, no display, no
// configuration.

#include "tests/fixtures/travcard_program.h"

#include <QCoreApplication>
#include <QProcess>
#include <gmock/gmock.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Ran {
    int status = -1;
    std::string out, err;
};

Ran travcard(const QStringList& arguments)
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "cli_help_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
    ScratchDir home;
    QProcess program;
    startWithoutDisplay(program, TRAVCARD_PROGRAM, arguments, home.path());
    EXPECT_TRUE(program.waitForFinished(60'000));
    return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
            program.readAllStandardOutput().toStdString(), program.readAllStandardError().toStdString()};
}

// The commands a text lists, "  name  what it does" a line, after the line
// that starts with "Commands" and up to the next empty line.
std::map<std::string, std::string> commandsListed(const std::string& text)
{
    std::map<std::string, std::string> listed;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line) && !line.starts_with("Commands")) {
    }
    while (std::getline(lines, line) && !line.empty()) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        std::string whatItDoes;
        std::getline(words >> std::ws, whatItDoes);
        listed[name] = whatItDoes;
    }
    return listed;
}

// Each command the program runs is listed with what it does, and each one
// listed runs; a command typed wrong is refused with the same list.
TEST(Help, ListsEveryCommandTheProgramRunsWithWhatItDoes)
{
    const std::set<std::string> runs{"print",   "nested",        "rest",          "reprint", "history",
                                     "cancel",  "setup-printer", "check-printer", "serve",
                                     "journal"};
    const Ran help = travcard({"--help"});
    ASSERT_EQ(help.status, 0) << help.err;
    const std::map<std::string, std::string> listed = commandsListed(help.out);
    std::set<std::string> names;
    for (const auto& [name, whatItDoes] : listed) {
        SCOPED_TRACE(name);
        names.insert(name);
        EXPECT_FALSE(whatItDoes.empty());
        const Ran own = travcard({QString::fromStdString(name), "--help"});
        EXPECT_EQ(own.status, 0) << own.err;
        EXPECT_THAT(own.out, ::testing::StartsWith("Usage: travcard " + name + " "));
    }
    EXPECT_EQ(names, runs);
    EXPECT_THAT(help.out, ::testing::HasSubstr("\n  -v, --version  Print the version and exit.\n"));
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;

    const Ran mistyped = travcard({"reprnt"});
    EXPECT_EQ(mistyped.status, 2);
    EXPECT_THAT(mistyped.err, ::testing::StartsWith("travcard: unknown command 'reprnt'\n"));
    EXPECT_EQ(commandsListed(mistyped.err), listed);
}

}  // namespace
