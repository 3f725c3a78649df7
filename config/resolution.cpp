#include "config/resolution.h"

#include "text/text.h"

#include <string>

std::optional<ResolutionSetting> parseResolution(std::string_view text)
{
    const std::string value = text::upperAscii(text);
    if (value.empty() || value == "203")
        return ResolutionSetting{};
    if (value == "300" || value == "600")
        return ResolutionSetting{value == "300" ? 300 : 600, false};
    if (value == "AUTO")
        return ResolutionSetting{standardDpi, true};
    return std::nullopt;
}

std::optional<int> dpiOfDotsPerMillimetre(int dotsPerMillimetre)
{
    switch (dotsPerMillimetre) {
    case 8: return 203;
    case 12: return 300;
    case 24: return 600;
    default: return std::nullopt;
    }
}
