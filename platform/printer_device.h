#pragma once
// The printer device: a file or a device node (such as /dev/usb/lp0) opened
// by name for writing. Bytes are written exactly as given.

#include <string>
#include <string_view>

class PrinterDevice {
public:
    PrinterDevice() = default;
    ~PrinterDevice();
    PrinterDevice(const PrinterDevice&) = delete;
    PrinterDevice& operator=(const PrinterDevice&) = delete;

    // Opens name for writing, creating or truncating a file. False when the
    // name cannot be opened.
    bool open(const std::string& name);
    bool isOpen() const { return fd_ >= 0; }

    // Writes every byte or reports false.
    bool write(std::string_view bytes);

    // Closes the device; false when the close reports an error (for a file,
    // data that could not be stored).
    bool close();

private:
    int fd_ = -1;
};

// What the operator is told when the device cannot be opened or written.
std::string printerNotAvailable(const std::string& pname);
