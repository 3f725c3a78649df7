#pragma once
// One EPSON (ESC/P) move ticket page: sixteen lines of text in code page 437
// and a block of bit-image rows that stacks the order and operation
// barcodes side by side.

#include "barcode/rv_barcode.h"
#include "tickets/ticket_data.h"

#include <string>

// extraLine says whether this page takes 14 barcode rows instead of 13; the
// page flips it, so successive pages alternate and two pages together feed
// exactly one 39-line form.
std::string epsonPage(const TicketData& ticket, RvBarCode& barcode, bool& extraLine);
