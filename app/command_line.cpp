#include "app/command_line.h"

#include <string_view>

namespace {

constexpr std::string_view helpText =
    "Usage: travcard [--help | --version]\n"
    "Looks up a shop order in the ERP database (ODBC data source xfODBC) and\n"
    "prints its move tickets to a Zebra label printer or an EPSON printer.\n"
    "The printer is named in travcard.cfg beside the program; an installed\n"
    "travcard reads /etc/travcard/travcard.cfg. See travcard(1).\n";

}  // namespace

std::optional<std::string> commandLineReply(int argc, const char* const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help")
            return std::string(helpText);
        if (argument == "--version")
            return "travcard " TRAVCARD_VERSION "\n";
    }
    return std::nullopt;
}
