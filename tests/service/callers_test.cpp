// Who may call the print service: the tokens file as it is parsed, the
// files that hold secrets as they are checked, the guessing budget, and
// SERVICE_LISTEN= names.

#include "service/callers.h"
#include "service/service_settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <gmock/gmock.h>

#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using service::Caller;

constexpr const char* token = "0123456789abcdef";

void writeFile(const std::string& path, const std::string& content, mode_t mode = 0600)
{
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content.data(), static_cast<qint64>(content.size())), static_cast<qint64>(content.size()));
    file.close();
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

std::string fault(const auto& result)
{
    const std::string* text = std::get_if<std::string>(&result);
    return text ? *text : std::string();
}

struct TokensCase {
    const char* name;
    std::string content;
    std::vector<std::pair<std::string, std::string>> callers;  // empty: refused
    std::string fault;
};

void PrintTo(const TokensCase& c, std::ostream* out) { *out << c.name; }

class TokensFile : public ::testing::TestWithParam<TokensCase> {};

TEST_P(TokensFile, IsParsedOrRefusedNamingTheLine)
{
    const auto parsed = service::parseTokens(GetParam().content);
    if (GetParam().callers.empty()) {
        EXPECT_THAT(fault(parsed), HasSubstr(GetParam().fault));
        EXPECT_THAT(fault(parsed), Not(HasSubstr("0123456789abcde"))) << "a fault never shows a token";
        return;
    }
    ASSERT_EQ(fault(parsed), "");
    std::vector<std::pair<std::string, std::string>> callers;
    for (const Caller& caller : std::get<std::vector<Caller>>(parsed))
        callers.emplace_back(caller.name, caller.token);
    EXPECT_EQ(callers, GetParam().callers);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TokensFile,
    ::testing::Values(
        TokensCase{"CommentOnlyAtLineStart", "# callers\n  # indented\nerp 0123456789abcdef#x\n",
                   {{"erp", "0123456789abcdef#x"}}, ""},
        TokensCase{"ByteOrderMarkBlankLinesTabsCrLf",
                   "\xEF\xBB\xBF" "erp 0123456789abcdef\r\n\r\nmes\t0123456789abcdeF\r\n",
                   {{"erp", "0123456789abcdef"}, {"mes", "0123456789abcdeF"}}, ""},
        TokensCase{"SameTokenForTwoNames", "erp 0123456789abcdef\n\nmes 0123456789abcdef\n", {},
                   "lines 1 and 3 have the same token"},
        TokensCase{"SameLineTwice", "erp 0123456789abcdef\nerp 0123456789abcdef\n", {}, "lines 1 and 2"},
        TokensCase{"ShortToken", "# callers\nerp 0123456789abcde\n", {}, "line 2 has a token shorter than 16"},
        TokensCase{"CommentAfterToken", "erp 0123456789abcdef # the ERP\n", {}, "line 1 has more than"},
        TokensCase{"NameWithoutToken", "erp\n", {}, "line 1 is not a name"},
        TokensCase{"NothingCallable", "\xEF\xBB\xBF# nobody yet\n\n", {}, "no line names a caller"}),
    [](const auto& info) { return info.param.name; });

class SecretFiles : public ::testing::Test {
protected:
    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }
    QTemporaryDir dir;
};

struct ModeCase {
    mode_t mode;
    const char* fault;  // empty: safe
};

TEST_F(SecretFiles, AreRefusedWhenOthersCouldReadOrChangeThem)
{
    const ModeCase cases[] = {{0600, ""},
                              {0640, ""},
                              {0644, "has mode 0644: it must not be readable by others or writable by anyone "
                                     "but its owner (chmod 0640)."},
                              {0660, "has mode 0660: "},
                              {0602, "has mode 0602: "},
                              {0604, "has mode 0604: "}};
    const std::string key = path("key.pem");
    for (const ModeCase& c : cases) {
        writeFile(key, "secret", c.mode);
        const std::optional<std::string> refused = service::secretFileFault(key, "the TLS key");
        if (*c.fault == '\0')
            EXPECT_EQ(refused, std::nullopt) << std::oct << c.mode;
        else
            EXPECT_THAT(refused.value_or(""), HasSubstr("the TLS key " + key + " " + c.fault));
    }
}

TEST_F(SecretFiles, AreOpenedAsOpenFindsThemAndMustBeRegularFiles)
{
    writeFile(path("tokens"), std::string("erp ") + token + "\n");
    ASSERT_EQ(::symlink(path("tokens").c_str(), path("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(service::secretFileFault(path("link"), "the tokens file"), std::nullopt);
    EXPECT_THAT(fault(service::loadCallers(path("fifo"))), HasSubstr(path("fifo") + " is not a regular file"));
    EXPECT_THAT(fault(service::loadCallers(dir.path().toStdString())), HasSubstr("is not a regular file"));
    EXPECT_EQ(fault(service::loadCallers(path("missing"))),
              "the tokens file " + path("missing") + " cannot be opened: No such file or directory.");
}

TEST_F(SecretFiles, AreRefusedWhenOwnedBySomeoneElse)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file away";
    writeFile(path("tokens"), std::string("erp ") + token + "\n");
    ASSERT_EQ(::chown(path("tokens").c_str(), 12345, 12345), 0);
    EXPECT_EQ(fault(service::loadCallers(path("tokens"))),
              "the tokens file " + path("tokens") + " is owned by uid 12345: it must be owned by root.");
}

TEST_F(SecretFiles, TokensFileOfOneMebibyteIsReadWholeAndLargerRefused)
{
    const std::string callers = std::string("erp ") + token + "\n";
    const std::size_t mebibyte = 1 << 20;
    std::string padded = callers + "#" + std::string(mebibyte - callers.size() - 2, '-') + "\n";
    writeFile(path("tokens"), padded + "mes " + token + "X\n");
    EXPECT_THAT(fault(service::loadCallers(path("tokens"))),
                HasSubstr("the tokens file " + path("tokens") + " is larger than 1 MiB"));
    writeFile(path("tokens"), padded);
    const auto loaded = service::loadCallers(path("tokens"));
    ASSERT_EQ(fault(loaded), "");
    EXPECT_EQ(std::get<std::vector<Caller>>(loaded).size(), 1u);
}

TEST_F(SecretFiles, UnsafeTlsKeyStopsTheService)
{
    writeFile(path("tokens"), std::string("erp ") + token + "\n");
    writeFile(path("key.pem"), "key", 0644);
    writeFile(path("travcard.cfg"), "PRINTER=" + path("printer.out") + "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS=" +
                                        path("tokens") + "\nSERVICE_KEY=" + path("key.pem") + "\n");
    const std::string programDir = dir.path().toStdString();
    EXPECT_THAT(fault(service::loadServiceSettings(programDir, "")),
                HasSubstr("the TLS key " + path("key.pem") + " has mode 0644"));
    ASSERT_EQ(::chmod(path("key.pem").c_str(), 0640), 0);
    EXPECT_EQ(fault(service::loadServiceSettings(programDir, "")), "");
}

TEST(GuessBudget, AllowsTenWrongTokensInAnyMinute)
{
    service::GuessBudget budget;
    const auto start = service::GuessBudget::Clock::time_point{} + 1h;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(budget.exhausted("10.0.0.1", start + i * 1s), std::nullopt) << i;
        budget.failed("10.0.0.1", start + i * 1s);
    }
    EXPECT_EQ(budget.exhausted("10.0.0.1", start + 9s), 51s);
    EXPECT_EQ(budget.exhausted("10.0.0.1", start + 59s + 500ms), 1s) << "never told to wait no time";
    EXPECT_EQ(budget.exhausted("10.0.0.2", start + 9s), std::nullopt);
    EXPECT_EQ(budget.exhausted("10.0.0.1", start + 60s), std::nullopt) << "the first guess has left the minute";
    budget.failed("10.0.0.1", start + 60s);
    EXPECT_EQ(budget.exhausted("10.0.0.1", start + 60s), 1s);
    EXPECT_EQ(budget.exhausted("10.0.0.1", start + 10min), std::nullopt);
}

TEST(GuessBudget, TellsTheLogOnceAMinutePerAddress)
{
    service::GuessBudget budget;
    const auto start = service::GuessBudget::Clock::time_point{} + 1h;
    EXPECT_TRUE(budget.tellLog("10.0.0.1", start));
    EXPECT_FALSE(budget.tellLog("10.0.0.1", start + 59s));
    EXPECT_TRUE(budget.tellLog("10.0.0.2", start + 59s));
    EXPECT_TRUE(budget.tellLog("10.0.0.1", start + 60s));
    EXPECT_FALSE(budget.tellLog("10.0.0.1", start + 61s));
}

TEST(ListenAddress, TakesNamesAndNumbers)
{
    const std::pair<std::string, QHostAddress> accepted[] = {{"localhost:8631", QHostAddress("127.0.0.1")},
                                                             {"[::1]:8631", QHostAddress("::1")},
                                                             {"0.0.0.0:8631", QHostAddress("0.0.0.0")}};
    for (const auto& [text, host] : accepted) {
        const auto parsed = service::parseListen(text);
        ASSERT_EQ(fault(parsed), "") << text;
        EXPECT_EQ(std::get<service::ListenAddress>(parsed).host, host) << text;
        EXPECT_EQ(std::get<service::ListenAddress>(parsed).port, 8631) << text;
    }
    EXPECT_THAT(fault(service::parseListen("no-such-host.invalid:8631")),
                HasSubstr("names the host no-such-host.invalid, which has no address here"));
    for (const char* refused : {"[localhost]:8631", "localhost:65536", "local host:8631"})
        EXPECT_THAT(fault(service::parseListen(refused)), HasSubstr("is not an address or host name and a port"));
}

}  // namespace
