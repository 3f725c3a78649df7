#include "journal/process_account.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

QString lookUpAccount()
{
    const uid_t uid = geteuid();
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    passwd entry{};
    passwd* found = nullptr;
    // A buffer too small for the entry is answered with ERANGE: try a larger one.
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found && found->pw_name && *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

}  // namespace

QString processAccount()
{
    static const QString account = lookUpAccount();
    return account;
}
