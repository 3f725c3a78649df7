// journal_print_child JOURNAL PRINTER TICKETS [REQUEST_ID]: prints TICKETS
// tickets of 1,000 bytes to PRINTER (a path or socket://HOST:PORT), recorded
// in JOURNAL (under REQUEST_ID, when given), then exits. A test kills it half-way.

#include "exactly_once/journal_recorder.h"
#include "printing/print_stream.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4 && argc != 5)
        return 2;
    MessageList messages;
    const int count = std::stoi(argv[3]);
    auto access = std::make_shared<JournalAccess>(QString::fromLocal8Bit(argv[1]));
    RunRecorder recorder(access, messages);
    RunStart run;
    run.source = "command line";
    if (argc == 5)
        run.requestId = argv[4];
    recorder.start(run, {{"10", count, "data"}});
    PrinterSettings printer{argv[2], PrinterKind::Zebra, {}};
    PrintStream output(printer, nullptr);
    output.setObserver(&recorder);
    if (!output.open(messages))
        return 1;
    output.begin(count, TicketUnit::Tickets);
    for (int i = 0; i < count; ++i)
        if (!output.send("^XA" + std::string(994, 'x') + "^XZ", messages))
            return 1;
    output.finish(messages);
    for (const Message& message : messages.shown)
        std::cerr << message.text << '\n';
    return messages.shown.empty() ? 0 : 1;
}
