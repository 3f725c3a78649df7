// journal_print_child JOURNAL PRINTER TICKETS [REQUEST_ID [STALL_MS]]: prints
// TICKETS tickets of 1,000 bytes to PRINTER (a path or socket://HOST:PORT),
// recorded in JOURNAL (under REQUEST_ID, when given and not "-"), then exits.
// A test kills it half-way. On a server's journal it holds the printer's
// lease, which another may take STALL_MS after it expires.

#include "exactly_once/journal_recorder.h"
#include "exactly_once/printer_lease.h"
#include "printing/print_stream.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4 || argc > 6)
        return 2;
    MessageList messages;
    const int count = std::stoi(argv[3]);
    auto access = std::make_shared<JournalAccess>(QString::fromLocal8Bit(argv[1]));
    RunRecorder recorder(access, messages);
    RunStart run;
    run.source = "command line";
    if (argc >= 5 && std::string(argv[4]) != "-")
        run.requestId = argv[4];
    recorder.start(run, {{"10", count, "data"}});
    PrinterSettings printer{argv[2], PrinterKind::Zebra, {}};
    if (argc == 6)
        printer.limits.stallTimeout = std::chrono::milliseconds(std::stoi(argv[5]));
    const PrinterTurn turn = awaitPrinterTurn(access.get(), printer, nullptr, {});
    PrintEnding ending{};
    PrintStream output(printer, nullptr);
    if (!turn.goesOn(messages, ending) || !output.open(messages)) {
        for (const Message& message : messages.shown)
            std::cerr << message.text << '\n';
        return 1;
    }
    recorder.holdLease(turn.lease.get());
    output.setObserver(&recorder);
    output.begin(count, TicketUnit::Tickets);
    bool sentAll = true;
    for (int i = 0; i < count && sentAll; ++i)
        sentAll = output.send("^XA" + std::string(994, 'x') + "^XZ", messages);
    if (sentAll)
        output.finish(messages);
    for (const Message& message : messages.shown)
        std::cerr << message.text << '\n';
    return messages.shown.empty() ? 0 : 1;
}
