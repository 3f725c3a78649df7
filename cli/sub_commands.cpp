#include "cli/sub_commands.h"

#include "cli/sub_command.h"

#include <map>

namespace cli {
namespace {

using Runner = int (*)(const QStringList&, const Environment&);

const std::map<QString, Runner>& subCommands()
{
    static const std::map<QString, Runner> commands{
        {"print", print},     {"nested", nested},       {"rest", rest},
        {"reprint", reprint}, {"history", history},     {"setup-printer", setupPrinter},
        {"check-printer", checkPrinter}, {"cancel", cancel}, {"journal", journal}};
    return commands;
}

}  // namespace

bool isSubCommand(const QString& word) { return subCommands().contains(word); }

int runSubCommand(const QStringList& arguments, const Environment& environment)
{
    if (arguments.size() < 2 || !isSubCommand(arguments[1]))
        return wrongCommandLine;
    expectPrinting(arguments[1] == "print" || arguments[1] == "nested" || arguments[1] == "rest" ||
                   arguments[1] == "reprint");
    QStringList own = arguments.mid(2);
    own.prepend(arguments[0]);
    return subCommands().at(arguments[1])(own, environment);
}

}  // namespace cli
