#include "commands/startup.h"

#include "config/config_file.h"
#include "config/printer_config.h"

std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages)
{
    const std::optional<PrinterConfig> config = loadPrinterConfig(programDir, messages);
    if (!config)
        return std::nullopt;
    PrinterSettings settings;
    settings.name = config->printer;
    settings.kind = config->kind;
    settings.resolution = config->resolution;
    return settings;
}

std::shared_ptr<JournalAccess> openStationJournal(const std::string& programDir, MessageBox& messages)
{
    // loadPrinterSettings has read the file already; it is read again, briefly.
    const ConfigFileRead file = readConfigFile(programDir + "/" + std::string(configFileName));
    const ConfigValues values = parseConfig(file.content);
    return openJournal(journalPath(values.journal), journalDays(values.journalDays), messages);
}

bool openDatabase(DatabaseSession& db, MessageBox& messages)
{
    try {
        db.open();
        // Nothing reads the rows, so one row is all it fetches, from the
        // server too: its cost must not grow with the item master.
        db.query("select * from PUBLIC.ITMMAS_BASE", {}, {.maxRows = 1});
        return true;
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
        return false;
    }
}

OpenDatabaseResult openDatabaseCommand(DatabaseSession& db)
{
    MessageList messages;
    const bool opened = openDatabase(db, messages);
    return {std::move(messages.shown), opened};
}
