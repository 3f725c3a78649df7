#include "commands/startup.h"

#include "config/config_file.h"
#include "config/database_login.h"
#include "config/printer_config.h"

#include <cerrno>
#include <mutex>
#include <variant>

#include <sys/stat.h>

namespace {

// The database login chosen for the process.
struct ChosenLogin {
    std::string connectionString = builtInConnectionString;
    std::string file;  // empty: the built-in login
    std::optional<std::string> fault;
    std::string journalPassword;  // for a journal on a server whose URI gives none
};

// Chosen at start, read by every thread that opens a session.
struct ChosenStore {
    std::mutex guard;
    ChosenLogin login;      // guarded
    std::string preferred;  // guarded; read in place of DATABASE= while it exists
};

ChosenStore& chosenStore()
{
    static ChosenStore store;
    return store;
}

ChosenLogin chosenLogin()
{
    ChosenStore& store = chosenStore();
    const std::lock_guard lock(store.guard);
    return store.login;
}

void keep(ChosenLogin login)
{
    ChosenStore& store = chosenStore();
    const std::lock_guard lock(store.guard);
    store.login = std::move(login);
}

ChosenLogin refusedLogin(const std::string& file, std::string fault)
{
    return {std::string(), file, std::move(fault), std::string()};
}

ChosenLogin loginIn(const std::string& file)
{
    if (file.empty())
        return {};
    std::variant<DatabaseLogin, std::string> read = readDatabaseLogin(file);
    if (std::string* refused = std::get_if<std::string>(&read))
        return refusedLogin(file, std::move(*refused));
    const DatabaseLogin& login = std::get<DatabaseLogin>(read);
    return {connectionStringOf(login), file, std::nullopt, login.journalPassword};
}

// A journal on a server whose URI gives no password would have had the
// login file's: when that file was refused, what the journal says of a
// failed login is followed by the file's fault, which the server cannot know.
class NamingRefusedLogin : public MessageBox {
public:
    NamingRefusedLogin(MessageBox& shown, std::string fault) : shown_(shown), fault_(std::move(fault)) {}
    void show(const std::string& text, MessageIcon icon) override
    {
        shown_.show(text + "\n" + fault_ + " So the journal's password is not taken from it either.", icon);
    }
    bool ask(const std::string& question, MessageIcon icon) override { return shown_.ask(question, icon); }

private:
    MessageBox& shown_;
    std::string fault_;
};

}  // namespace

std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages)
{
    chooseDatabaseLogin(programDir);
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
    // Commands that need no database still need the login's journal password.
    chooseDatabaseLogin(programDir);
    const QString location = journalPath(values.journal);
    const std::optional<std::string> fault = databaseLoginFault();
    if (fault && journalNeedsPassword(location)) {
        NamingRefusedLogin naming(messages, *fault);
        return openJournal(location, journalDays(values.journalDays), naming);
    }
    return openJournal(withJournalLogin(location), journalDays(values.journalDays), messages);
}

QString withJournalLogin(const QString& location)
{
    return journalWithPassword(location, QString::fromStdString(chosenLogin().journalPassword));
}

QString stationJournalPath(const std::string& programDir)
{
    return journalPath(parseConfig(readConfigFile(programDir + "/" + std::string(configFileName)).content).journal);
}

void chooseDatabaseLogin(const std::string& programDir)
{
    std::string preferred;
    {
        ChosenStore& store = chosenStore();
        const std::lock_guard lock(store.guard);
        preferred = store.preferred;
    }
    struct stat status {};
    if (!preferred.empty() && !preferred.starts_with('/'))
        return keep(refusedLogin(preferred, "--database-if-present " + preferred +
                                                " is not an absolute path: name the database login file from /."));
    if (!preferred.empty() && !(::lstat(preferred.c_str(), &status) != 0 && errno == ENOENT))
        return keep(loginIn(preferred));
    const std::string file = parseConfig(readConfigFile(programDir + "/" + std::string(configFileName)).content).database;
    // Taken from the current folder, a relative path would name another file in each.
    if (!file.empty() && !file.starts_with('/'))
        return keep(refusedLogin(file, "DATABASE=" + file + " in travcard.cfg is not an absolute path: name the "
                                                            "database login file from /."));
    keep(loginIn(file));
}

void preferDatabaseLoginFile(const std::string& path)
{
    ChosenStore& store = chosenStore();
    const std::lock_guard lock(store.guard);
    store.preferred = path;
}

std::optional<std::string> databaseLoginFault() { return chosenLogin().fault; }

std::string databaseConnectionString() { return chosenLogin().connectionString; }

std::string databaseLoginSource()
{
    const ChosenLogin login = chosenLogin();
    return login.file.empty() ? "the built-in login" : "the login in " + login.file;
}

bool openDatabase(DatabaseSession& db, MessageBox& messages)
{
    const ChosenLogin login = chosenLogin();
    if (login.fault) {
        messages.show(*login.fault, MessageIcon::Critical);
        return false;
    }
    if (!login.file.empty())
        db.connectionString = login.connectionString;
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
    return {std::move(messages.shown), opened, !opened && databaseLoginFault().has_value()};
}
