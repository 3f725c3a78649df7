#include "config/database_login.h"

#include "config/config_file.h"
#include "config/secret_file.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t largestLoginFile = 64 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::optional<std::string> modeFault(mode_t mode)
{
    const unsigned bits = mode & 07777;
    if (bits == 0600 || bits == 0640)
        return std::nullopt;
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", bits);
    return std::string("has mode ") + octal +
           ": it must be 0600 or 0640, readable by its owner (and its group) alone, as it holds a password";
}

}  // namespace

std::variant<DatabaseLogin, std::string> parseDatabaseLogin(std::string_view content)
{
    DatabaseLogin login;
    struct Key {
        std::string_view name;
        std::string* value;
        int line = 0;
    };
    Key keys[] = {{"DSN=", &login.dsn},
                  {"UID=", &login.user},
                  {"PWD=", &login.password},
                  {"JOURNAL_PWD=", &login.journalPassword}};
    int number = 0;
    for (const std::string_view line : splitConfigLines(content)) {
        ++number;
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        Key* known = nullptr;
        for (Key& key : keys)
            if (line.starts_with(key.name))
                known = &key;
        const std::string at = "line " + std::to_string(number);
        if (!known)
            return at + " is not DSN=, UID=, PWD= or JOURNAL_PWD= (nor blank, nor a # comment)";
        if (known->line != 0)
            return "lines " + std::to_string(known->line) + " and " + std::to_string(number) + " both give " +
                   std::string(known->name);
        known->line = number;
        *known->value = line.substr(known->name.size());
    }
    if (login.dsn.empty())
        return std::string("it names no data source: a DSN= line is needed");
    return login;
}

std::variant<DatabaseLogin, std::string> readDatabaseLogin(const std::string& path)
{
    const std::string named = "The database login file " + path;
    const OpenedFile file(path);
    const std::variant<struct stat, std::string> regular = file.regularFile(named);
    if (const std::string* fault = std::get_if<std::string>(&regular))
        return *fault;
    const struct stat& status = std::get<struct stat>(regular);
    if (const std::optional<std::string> fault = modeFault(status.st_mode))
        return named + " " + *fault + ".";
    if (status.st_uid != 0 && status.st_uid != ::geteuid())
        return named + " belongs to user " + std::to_string(status.st_uid) +
               ": it must be root's or this program's user's, so that nobody else can change the login.";
    const OpenedFile::Content content = file.readAtMost(largestLoginFile, "64 KiB, more than a login needs: is it the right file?");
    if (!content.bytes)
        return named + content.fault;
    std::variant<DatabaseLogin, std::string> login = parseDatabaseLogin(*content.bytes);
    if (const std::string* fault = std::get_if<std::string>(&login))
        return named + " cannot be used: " + *fault + ".";
    return login;
}

std::string odbcValue(std::string_view value)
{
    const bool plain = value.find_first_of(";{}") == std::string_view::npos &&
                       (value.empty() || (!isBlank(value.front()) && !isBlank(value.back())));
    if (plain)
        return std::string(value);
    std::string quoted = "{";
    for (const char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    return quoted + "}";
}

std::string connectionStringOf(const DatabaseLogin& login)
{
    std::string text = "DSN=" + odbcValue(login.dsn);
    if (!login.user.empty())
        text += ";UID=" + odbcValue(login.user);
    if (!login.password.empty())
        text += ";PWD=" + odbcValue(login.password);
    return text;
}
