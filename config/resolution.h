#pragma once
// The resolution a Zebra printer prints at, and so the dots a job is laid
// out in: 203 dpi (8 dots/mm), 300 (12) or 600 (24). DPI= in travcard.cfg
// names one, or auto: a network Zebra is asked.

#include <optional>
#include <string_view>

inline constexpr int standardDpi = 203;

struct ResolutionSetting {
    int dpi = standardDpi;  // when not detected
    bool detect = false;    // DPI=auto
};

// "203", "300", "600" or "auto" (any letter case); empty: 203. Nothing for
// anything else.
std::optional<ResolutionSetting> parseResolution(std::string_view text);

// The dpi of a printer of dotsPerMillimetre: 8, 12 or 24; nothing otherwise.
std::optional<int> dpiOfDotsPerMillimetre(int dotsPerMillimetre);
