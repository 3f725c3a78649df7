#include "platform/config_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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
    }
    return values;
}

ConfigFileRead readConfigFile(const std::string& path)
{
    ConfigFileRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // A directory opens but cannot be read: it is no configuration file.
            result.error = errno;
            ::close(fd);
            return result;
        }
        result.content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    result.opened = true;
    return result;
}
