#include "config/secret_file.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

std::string systemError(int error) { return std::error_code(error, std::generic_category()).message(); }

OpenedFile::OpenedFile(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)), error_(fd_ < 0 ? errno : 0)
{
}

OpenedFile::~OpenedFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::variant<struct stat, std::string> OpenedFile::regularFile(const std::string& named) const
{
    if (fd_ < 0)
        return named + " cannot be opened: " + systemError(error_) + ".";
    struct stat status {};
    if (::fstat(fd_, &status) != 0)
        return named + " cannot be examined: " + systemError(errno) + ".";
    if (!S_ISREG(status.st_mode))
        return named + " is not a regular file.";
    return status;
}

OpenedFile::Content OpenedFile::readAtMost(std::size_t limit, const std::string& limitText) const
{
    std::string content;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {std::nullopt, " cannot be read: " + systemError(errno) + "."};
        if (got == 0)
            return {std::move(content), {}};
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > limit)
            return {std::nullopt, " is larger than " + limitText};
    }
}
