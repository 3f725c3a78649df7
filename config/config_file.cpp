#include "config/config_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

std::vector<std::string_view> splitWords(std::string_view line)
{
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        found.push_back(line.substr(start, end - start));
        at = end;
    }
    return found;
}

std::vector<std::string_view> splitConfigLines(std::string_view content)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        const bool crlf = content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
        start = end + (crlf ? 2 : 1);
    }
    return lines;
}

ConfigValues parseConfig(std::string_view content)
{
    constexpr std::size_t keyLength = 8;
    ConfigValues values;
    for (std::string_view line : splitConfigLines(content)) {
        const std::string_view key = line.substr(0, keyLength);
        if (key == "PRINTER=")
            values.printer = line.substr(key.size());
        if (key == "PRTTYPE=")
            values.printerType = line.substr(key.size());
        if (key == "JOURNAL=")
            values.journal = line.substr(key.size());
        if (constexpr std::string_view database = "DATABASE="; line.starts_with(database))
            values.database = line.substr(database.size());
        if (constexpr std::string_view dpi = "DPI="; line.starts_with(dpi))
            values.dpi = line.substr(dpi.size());
        if (constexpr std::string_view days = "JOURNAL_DAYS="; line.starts_with(days))
            values.journalDays = line.substr(days.size());
        // The print service's keys are known by their whole names.
        const std::pair<std::string_view, std::string*> service[] = {
            {"SERVICE_LISTEN=", &values.serviceListen}, {"SERVICE_PRINTERS=", &values.servicePrinters},
            {"SERVICE_TOKENS=", &values.serviceTokens}, {"SERVICE_CERT=", &values.serviceCert},
            {"SERVICE_KEY=", &values.serviceKey}};
        for (const auto& [name, value] : service)
            if (line.starts_with(name))
                *value = line.substr(name.size());
    }
    return values;
}

ConfigFileRead readConfigFile(const std::string& path)
{
    ConfigFileRead result;
    errno = 0;
    const auto close = [](std::FILE* file) { std::fclose(file); };
    const std::unique_ptr<std::FILE, decltype(close)> file(std::fopen(path.c_str(), "rb"), close);
    if (!file) {
        result.error = errno;
        return result;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        result.content.append(buffer, got);
    // A directory opens but cannot be read: it is no configuration file.
    if (std::ferror(file.get())) {
        result.error = errno;
        result.content.clear();
        return result;
    }
    result.opened = true;
    return result;
}
