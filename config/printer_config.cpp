#include "config/printer_config.h"

#include "config/config_file.h"
#include "text/text.h"

std::optional<PrinterConfig> loadPrinterConfig(const std::string& programDir, MessageBox& messages)
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
    const bool boolEpson = type == "EPSON";
    const bool boolZebra = type == "ZEBRA";
    if (!boolEpson && !boolZebra) {
        messages.show("PRTTYPE=" + values.printerType + " is not valid.  Must be ZEBRA or EPSON.",
                      MessageIcon::None);
        return std::nullopt;
    }
    const std::optional<ResolutionSetting> resolution = parseResolution(values.dpi);
    if (!resolution) {
        messages.show("DPI=" + values.dpi + " is not valid.  Must be 203, 300, 600 or AUTO.", MessageIcon::None);
        return std::nullopt;
    }
    return PrinterConfig{values.printer, boolZebra ? PrinterKind::Zebra : PrinterKind::Epson, *resolution};
}
