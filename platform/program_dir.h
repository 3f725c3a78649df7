#pragma once

#include <string>

// The directory that holds the running executable, without a trailing "/".
std::string programDirectory();
