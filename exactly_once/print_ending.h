#pragma once
// How a print run ended, for a caller that acts on it (the command line's
// exit status); the operator reads the messages.

enum class PrintEnding {
    Printed,        // every ticket went out
    Refused,        // nothing to print, or input that is not accepted
    DatabaseFault,  // the database could not be reached, was lost or did not answer
    PrinterFault,   // the printer was not available or reported a fault before anything was sent
    Stopped,        // the run stopped part-way: cancelled, or the printer failed during it
};

// How a run that got as far as sending ended: a printer that failed before
// any byte was handed to it is a printer fault; once bytes went out, tickets
// may have printed, and the run stopped part-way, as does one the operator
// stopped.
inline PrintEnding sendingOutcome(bool finished, bool anythingWritten, bool cancelled)
{
    if (finished)
        return PrintEnding::Printed;
    return !anythingWritten && !cancelled ? PrintEnding::PrinterFault : PrintEnding::Stopped;
}

struct TicketCount {
    int sent = 0;     // reached the printer whole
    int planned = 0;  // the run's tickets (EPSON: pages)
};
