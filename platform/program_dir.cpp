#include "platform/program_dir.h"

#include <filesystem>

std::string programDirectory()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path(error).string();
    return executable.parent_path().string();
}
