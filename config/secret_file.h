#pragma once
// A file that holds a secret (a password, callers' tokens), read from the
// descriptor that was checked, so that it cannot be swapped in between.

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include <sys/stat.h>

// Opened for reading only. O_NONBLOCK: opening a FIFO does not wait for a
// writer; its caller refuses it as no regular file.
class OpenedFile {
public:
    explicit OpenedFile(const std::string& path);
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    int fd() const { return fd_; }
    int openError() const { return error_; }

    // The opened file's status, or what the file named is not (named + "
    // cannot be opened: ...", " cannot be examined: ...", " is not a
    // regular file."), for its caller's own checks of mode and owner.
    std::variant<struct stat, std::string> regularFile(const std::string& named) const;

    // The whole content, or why not: " cannot be read: ...", or " is larger
    // than ..." when it holds more than limit bytes (limitText names it).
    struct Content {
        std::optional<std::string> bytes;
        std::string fault;
    };
    Content readAtMost(std::size_t limit, const std::string& limitText) const;

private:
    int fd_;
    int error_;
};

// An errno value in words.
std::string systemError(int error);
