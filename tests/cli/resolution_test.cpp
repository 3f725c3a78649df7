// A Zebra printer of 300 or 600 dpi: the resolution named, or asked of a
// network printer, lays the job out, and the journal keeps it.

#include "tests/cli/sub_commands_fixture.h"

namespace {

QJsonObject historyOf(const std::string& json) { return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object(); }

// DPI=auto asks a network Zebra with ~HI: its dots per millimetre pick the
// layout; a printer that does not answer, or answers what is not 8, 12 or
// 24, gets the 203 dpi job.
TEST_F(SubCommands, AutoAsksANetworkZebraItsResolution)
{
    const std::string ready = LoopbackPrinter::hostStatus('0', '0', '0', '0');
    const struct {
        std::optional<std::string> answer;
        int dpi;
        const char* length;
    } printers[] = {
        {"\x02ZT230-200dpi,V72.20.01Z,8,8176KB\x03\r\n", 203, "^LL1496\r\n"},
        {"\x02ZT410-300dpi,V75.20.01Z,12,8176KB\x03\r\n", 300, "^LL2244\r\n"},
        {"\x02ZT410-600dpi,V75.20.01Z,24,8176KB\x03\r\n", 600, "^LL4488\r\n"},
        {"\x02ZT230,V72.20.01Z,16,8176KB\x03\r\n", 203, "^LL1496\r\n"},
        {std::nullopt, 203, "^LL1496\r\n"},
    };
    for (const auto& printer : printers) {
        LoopbackPrinter zebra({.statusReply = ready, .identificationReply = printer.answer});
        const Ended run = travcard(QStringList{"print"} + order12345 +
                                   QStringList{"--printer", QString::fromStdString(zebra.address()), "--dpi", "auto"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string received = zebra.received();
        EXPECT_NE(received.find(printer.length), std::string::npos) << printer.dpi;
        const Ended history = travcard({"history", "--json", "--run", QString::number(journal().runs().front().id)});
        EXPECT_EQ(historyOf(history.out)["dpi"].toInt(), printer.dpi);
    }
}

// Reprint on a printer of another resolution lays the cards out for it, and says so.
TEST_F(SubCommands, ReprintForAnotherResolutionIsLaidOutForItAndSaysSo)
{
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 +
                       QStringList{"--printer", QString::fromStdString(dir.file("at203"))})
                  .status,
              0);
    const std::int64_t run = journal().runs().front().id;
    const Ended again = travcard({"reprint", "--run", QString::number(run), "--ticket", "1", "--dpi", "300",
                                  "--printer", QString::fromStdString(dir.file("at300"))});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_THAT(again.err, ::testing::HasSubstr("Run " + std::to_string(run) +
                                                " was laid out for a 203 dpi printer; its tickets are laid out again "
                                                "for this one, at 300 dpi."));
    const std::string job = dir.read("at300");
    EXPECT_NE(job.find("^LL2244\r\n"), std::string::npos);
    EXPECT_NE(job.find("^BY4,3.0"), std::string::npos);
    EXPECT_EQ(journal().run(journal().runs().front().id)->dpi, 300);
    EXPECT_EQ(travcard({"print", "--location", "ST", "--order", "12345", "--dpi", "250"}).status, 1);
}

}  // namespace
