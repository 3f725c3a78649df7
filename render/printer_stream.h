#pragma once
// A captured printer stream, Zebra (ZPL II) or EPSON (ESC/P), drawn one
// label or printer page at a time. A Zebra stream is read in the dots of its
// printer's resolution (zebraDpi: 203, 300 or 600); an EPSON one has none.

#include "render/escp.h"
#include "render/printer_kind.h"
#include "render/rendered_page.h"
#include "render/zpl.h"

#include <QByteArray>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

namespace travcard::render {

// Reads and draws one page per call, so that memory stays that of one page
// however long the stream is.
class PageRenderer {
public:
    PageRenderer(QByteArray bytes, PrinterKind kind, int dpi = kZebraDotsPerInch);

    std::optional<RenderedPage> next();

    // Everything met so far; complete once next() has returned nullopt.
    QStringList warnings() const;

private:
    QByteArray bytes_;
    std::variant<ZplReader, EscpReader> reader_;
};

// Every page of a stream, read at once and drawn on request: what a
// viewer needs to move back and forth. Holds descriptions, not images.
class PageSet {
public:
    PageSet() = default;
    PageSet(const QByteArray& bytes, PrinterKind kind, int dpi = kZebraDotsPerInch);

    PrinterKind kind() const { return kind_; }
    int dpi() const { return dpi_; }  // a Zebra stream's printer's, as it was read
    int count() const { return static_cast<int>(pages_.size()); }
    int copies(int index) const;
    RenderedPage draw(int index) const;
    const QStringList& warnings() const { return warnings_; }

private:
    PrinterKind kind_ = PrinterKind::Zebra;
    int dpi_ = kZebraDotsPerInch;
    std::vector<std::variant<ZplLabel, EscpPage>> pages_;
    QStringList warnings_;
};

}  // namespace travcard::render
