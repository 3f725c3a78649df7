#pragma once
// What a print stream tells whoever keeps a record of the run (the journal):
// the tickets it is about to write, how many the printer has taken, and how
// the run ended. Positions count the run's tickets (or EPSON pages) from 0.

#include <string>
#include <string_view>
#include <vector>

enum class PrintOutcome { Printed, Cancelled, Failed };

class PrintObserver {
public:
    virtual ~PrintObserver() = default;

    // Before the bytes of tickets first, first + 1, ... are written; the
    // tickets before first have been handed to the printer.
    virtual void writing(int first, const std::vector<std::string_view>& tickets) = 0;

    // The tickets before count have been handed to the printer.
    virtual void confirmed(int count) = 0;

    // The run ended: its first confirmed tickets reached the printer whole;
    // message is what the operator was told (empty when all went well).
    virtual void ended(PrintOutcome outcome, int confirmed, const std::string& message) = 0;
};
