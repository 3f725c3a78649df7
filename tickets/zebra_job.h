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

// One field line: head (everything before ^FD), the field data, ^FS, CR LF.
std::string field(std::string_view head, std::string_view data);

// A text field at origin (^FOx,y) in font 0, 51 by 33 dots, rotated, code
// page 850, field reverse.
std::string textField(std::string_view origin, std::string_view data);

// Lines 1 to 7 of every job.
std::string jobPrologue();

// The captions and Code 39 barcodes of the order and the operation.
std::string bottomBarcodes(std::string_view orderBarcode, std::string_view operationBarcode);

// The print quantity line, the end of the format and the second format that
// clears the printer's ID*.* objects.
std::string jobEpilogue(std::string_view labelQty);

}  // namespace zpl

// The 34-line move ticket job.
std::string zebraJob(const TicketData& ticket);
