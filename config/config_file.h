#pragma once
// The configuration file travcard.cfg: lines of KEY=value. A line is known
// by its first eight characters (DPI=, DATABASE=, JOURNAL_DAYS= and the
// SERVICE_ keys by all of theirs), compared exactly; the value is the rest
// of the line, verbatim. The last occurrence of a key wins; other lines are
// ignored.

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view configFileName = "travcard.cfg";

struct ConfigValues {
    std::string printer;      // PRINTER=
    std::string printerType;  // PRTTYPE=
    std::string journal;      // JOURNAL=, the print journal's file
    std::string journalDays;  // JOURNAL_DAYS=, how long the journal keeps a run
    std::string dpi;          // DPI=, a Zebra printer's resolution
    std::string database;     // DATABASE=, the file of the database login
    // The print service (travcard serve):
    std::string serviceListen;    // SERVICE_LISTEN=, HOST:PORT
    std::string servicePrinters;  // SERVICE_PRINTERS=, NAME=DESTINATION pairs between spaces
    std::string serviceTokens;    // SERVICE_TOKENS=, the file of the callers' tokens
    std::string serviceCert;      // SERVICE_CERT=, TLS certificate (PEM)
    std::string serviceKey;       // SERVICE_KEY=, its private key (PEM)
};

// Lines end at CR LF, at a lone CR or at a lone LF; the ending is not part
// of the line.
std::vector<std::string_view> splitConfigLines(std::string_view content);

// The words of a line, between spaces and tabs.
std::vector<std::string_view> splitWords(std::string_view line);

ConfigValues parseConfig(std::string_view content);

struct ConfigFileRead {
    bool opened = false;
    int error = 0;  // errno of the failed open or read
    std::string content;
};

ConfigFileRead readConfigFile(const std::string& path);
