#include "platform/printer_device.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

PrinterDevice::~PrinterDevice() { close(); }

bool PrinterDevice::open(const std::string& name)
{
    close();
    if (name.empty())
        return false;
    do {
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

bool PrinterDevice::write(std::string_view bytes)
{
    if (fd_ < 0)
        return false;
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool PrinterDevice::close()
{
    if (fd_ < 0)
        return true;
    const int fd = fd_;
    fd_ = -1;
    // After close() fails with EINTR the descriptor is already released on
    // Linux, so it is not retried.
    return ::close(fd) == 0;
}

std::string printerNotAvailable(const std::string& pname)
{
    return "The printer " + pname + " is not available.";
}
