// The configuration file parser on any file content. Every line lies within
// the content, in order, without its ending; a value never spans lines.

#include "config/config_file.h"
#include "fuzz/check.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);

    const char* previousEnd = content.data();
    for (std::string_view line : splitConfigLines(content)) {
        FUZZ_CHECK(line.data() >= previousEnd);
        FUZZ_CHECK(line.data() + line.size() <= content.data() + content.size());
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
        previousEnd = line.data() + line.size();
    }

    const ConfigValues values = parseConfig(content);
    FUZZ_CHECK(values.printer.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(values.printerType.find_first_of("\r\n") == std::string::npos);
    return 0;
}
