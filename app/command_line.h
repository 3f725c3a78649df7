#pragma once
// The two arguments that travcard answers without starting: --help and
// --version. Every other argument is ignored.

#include <optional>
#include <string>

// The text to print for the first --help or --version among the arguments,
// or nothing when the program is to start as usual.
std::optional<std::string> commandLineReply(int argc, const char* const argv[]);
