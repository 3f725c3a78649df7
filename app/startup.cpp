#include "app/startup.h"

#include "platform/config_file.h"
#include "platform/text.h"

std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages)
{
    const ConfigFileRead file = readConfigFile(programDir + "/" + std::string(configFileName));
    if (!file.opened) {
        messages.show("travcard.cfg does not exist in: " + programDir, MessageIcon::None);
        messages.show("Error = " + std::to_string(file.error), MessageIcon::None);
        return std::nullopt;
    }
    const ConfigValues values = parseConfig(file.content);
    if (values.printer.empty()) {
        messages.show("PRINTER= not defined in configuration file.", MessageIcon::None);
        return std::nullopt;
    }
    if (values.printerType.empty()) {
        messages.show("PRTTYPE= not defined in configuration file.", MessageIcon::None);
        return std::nullopt;
    }
    const std::string type = text::upperAscii(values.printerType);
    if (type != "EPSON" && type != "ZEBRA") {
        messages.show("PRTTYPE=" + values.printerType + " is not valid.  Must be ZEBRA or EPSON.",
                      MessageIcon::None);
        return std::nullopt;
    }
    PrinterSettings settings;
    settings.pname = values.printer;
    settings.boolEpson = type == "EPSON";
    settings.boolZebra = type == "ZEBRA";
    return settings;
}

bool openDatabase(DatabaseSession& db, MessageBox& messages)
{
    try {
        db.open();
        // Nothing reads this result set, so one row is all it fetches, from
        // the server too: its cost must not grow with the item master.
        db.rs = db.query("select * from PUBLIC.ITMMAS_BASE", {}, {.maxRows = 1});
        return true;
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
        return false;
    }
}
