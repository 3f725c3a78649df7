#pragma once
// The real travcard program, run as a script runs it: with no display, a
// travcard.cfg of the test's own beside it, its journal in the test's folder.

#include "journal/journal.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/travcard_program.h"
#include "tests/fixtures/whole_pages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <array>

#include <filesystem>
#include <thread>

#include <csignal>
#include <sys/stat.h>


using namespace std::chrono_literals;

struct Ended {
    int status = -1;
    std::string out;
    std::string err;
};

// An EPSON run's pages: each begins where its card's title is as far in as
// on the first page.
inline std::vector<std::string> pagesOf(const std::string& run)
{
    const std::string title = "MOVE & IDENT CARD";
    const std::size_t first = run.find(title);
    std::vector<std::size_t> starts;
    for (std::size_t at = first; at != std::string::npos; at = run.find(title, at + 1))
        starts.push_back(at - first);
    starts.push_back(run.size());
    std::vector<std::string> pages;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i)
        pages.push_back(run.substr(starts[i], starts[i + 1] - starts[i]));
    return pages;
}

class SubCommands : public MainWindowTest {
protected:
    // The program is copied beside a travcard.cfg of the test's own: it
    // reads the file from its own folder.
    static void SetUpTestSuite()
    {
        programDir = std::make_unique<ScratchDir>();
        installProgram(*programDir, "PRINTER=" + programDir->file("default.out") + "\r\nPRTTYPE=ZEBRA\r\n");
    }
    static void TearDownTestSuite() { programDir.reset(); }

    // The journal goes to the test's folder; odbcIni names another data source.
    void startProgram(QProcess& program, const QStringList& arguments, const std::string& odbcIni = {},
                      const std::string& executable = {})
    {
        startWithoutDisplay(program, executable.empty() ? programDir->file("travcard") : executable, arguments,
                            dir.path(), odbcIni);
    }

    // The arguments, then one more that the shell's printf makes of
    // printfBytes: QProcess would pass every argument as UTF-8.
    Ended travcardWithBytes(const QStringList& arguments, const std::string& printfBytes)
    {
        const QString command = QString::fromStdString("exec \"" + programDir->file("travcard") +
                                                       "\" \"$@\" \"$(printf '" + printfBytes + "')\"");
        QProcess program;
        startProgram(program, QStringList{"-c", command, "travcard"} + arguments, {}, "/bin/sh");
        return ended(program);
    }

    static Ended ended(QProcess& program)
    {
        EXPECT_TRUE(program.waitForFinished(60'000));
        return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                program.readAllStandardOutput().toStdString(), program.readAllStandardError().toStdString()};
    }

    Ended travcard(const QStringList& arguments, const std::string& odbcIni = {})
    {
        QProcess program;
        startProgram(program, arguments, odbcIni);
        return ended(program);
    }

    // What the main window prints for the order, the operation and the quantity.
    std::string windowPrints(const std::string& type, const QString& operation, const QString& quantity)
    {
        start(type);
        locate("12345");
        print(operation, quantity);
        EXPECT_TRUE(messages.shown.empty());
        return printed();
    }

    Journal journal() const { return Journal(QString::fromStdString(dir.file("travcard/journal.sqlite"))); }

    // The window's EPSON pages of order 12345, every operation, quantity
    // pages of each: as the first page of a session lays them out, and as
    // one after an odd number of pages does (the other alternation).
    std::array<std::vector<std::string>, 2> windowPages(const QString& quantity)
    {
        start("EPSON");
        locate("12345");
        print("All", quantity);
        const std::vector<std::string> first = pagesOf(printed());
        print("10", "1");
        print("All", quantity);
        std::vector<std::string> shifted = pagesOf(printed());
        shifted.erase(shifted.begin(), shifted.end() - static_cast<std::ptrdiff_t>(first.size()));
        return {first, shifted};
    }

    static std::unique_ptr<ScratchDir> programDir;
};

inline std::unique_ptr<ScratchDir> SubCommands::programDir;

inline const QStringList order12345{"--location", "ST", "--order", "12345"};

