#pragma once
// ZPL II label jobs. The move ticket and the nested-part ticket share the
// job prologue, the epilogue with the print quantity, and the two bottom
// barcodes.
//
// Values reach the printer in code page 850 (what ^CI13 selects). A field
// whose data holds ^ or ~ would otherwise be read as a command: it gets ^FH
// before its ^FD, and its ^, ~ and _ are written as _5E, _7E and _5F.

#include "tickets/ticket_data.h"

#include <string>
#include <string_view>

namespace zpl {

// The dots of a job laid out for a printer of dpi (203, 300 or 600): every
// dot value of the 203 dpi card, 8 dots/mm, times 1.5 (12 dots/mm) or 3 (24),
// rounded to the nearest dot, halves up; a 203 dpi job is byte for byte what
// it always was. The narrow bar is rounded down at 300 dpi: 4 dots (0.34 mm)
// where 4.5 would be exact, so that each barcode stays within the room it
// has on the 203 dpi card (5 dots would make it 13% longer than there).
class Dots {
public:
    explicit Dots(int dpi = 203);
    int operator()(int at203) const;
    int narrowBar(int at203) const;
    // "x,y" of a field origin or a box.
    std::string pair(int x, int y) const;

private:
    int twelfths_;  // dots per 8 dots of the 203 dpi card, in twelfths
};

// One field line: head (everything before ^FD), the field data, ^FS, CR LF.
std::string field(std::string_view head, std::string_view data);

// A text field at origin x,y (^FO) in font 0, 51 by 33 dots, rotated, code
// page 850, field reverse.
std::string textField(const Dots& dots, int x, int y, std::string_view data);

// ^FO at x,y.
std::string origin(const Dots& dots, int x, int y);

// ^BYn,3.0, ^FO at x,y and the head of a rotated Code 39 barcode of height dots.
std::string barcodeHead(const Dots& dots, int x, int y, int height);

// Lines 1 to 7 of every job.
std::string jobPrologue(const Dots& dots);

// The captions and Code 39 barcodes of the order and the operation.
std::string bottomBarcodes(const Dots& dots, std::string_view orderBarcode, std::string_view operationBarcode);

// The print quantity line, the end of the format and the second format that
// clears the printer's ID*.* objects.
std::string jobEpilogue(std::string_view labelQty);

}  // namespace zpl

// The 34-line move ticket job, for a printer of dpi.
std::string zebraJob(const TicketData& ticket, int dpi = 203);
