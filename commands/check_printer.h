#pragma once
// Check Printer: whether the configured printer can take a job now, asked
// without sending one. A network Zebra printer is asked for its status
// (~HS); an EPSON one must accept the connection; a cups: queue must be
// there, not stopped and accepting jobs; a path must open for writing
// within its time limit; preview: is always ready.

#include "exactly_once/answer.h"
#include "printing/printer_readiness.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <optional>
#include <stop_token>
#include <vector>

struct PrinterCheck {
    enum class Verdict {
        Ready,
        NotReady,     // reachable, but it reports what keeps it from printing, or does not answer
        Unavailable,  // it cannot be connected to or opened
    };
    Verdict verdict = Verdict::Unavailable;
    // One line each: "The printer NAME is ready." ("is not ready.", "is not
    // available."), then the reasons, then what a Zebra still holds to print.
    std::vector<Message> messages;
    std::optional<ZebraStatus> zebra;     // a network Zebra printer's flags, when its answer could be read
    std::optional<ZebraBuffer> buffer;    // what it still holds to print, when its counts could be read
    std::optional<CupsQueueState> queue;  // a cups: queue's state, when the scheduler told it

    bool ready() const { return verdict == Verdict::Ready; }
};

// Bounded by printer.limits: connecting, the status answer, opening a path.
// Once stop is set, the check gives up (not available).
PrinterCheck checkPrinter(const PrinterSettings& printer, std::stop_token stop = {});

// The check as its answer: ready (0), not ready or not available (4), with
// the printer's flags and buffer, or its queue's state, as fields.
int answerCheck(const PrinterSettings& printer, const PrinterCheck& check, Answer& answer);
