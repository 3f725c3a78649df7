#pragma once
// A captured printer stream, Zebra (ZPL II) or EPSON (ESC/P), drawn one
// label or printer page at a time.

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
    PageRenderer(QByteArray bytes, PrinterKind kind);

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
    PageSet(const QByteArray& bytes, PrinterKind kind);

    PrinterKind kind() const { return kind_; }
    int count() const { return static_cast<int>(pages_.size()); }
    int copies(int index) const;
    RenderedPage draw(int index) const;
    const QStringList& warnings() const { return warnings_; }

private:
    PrinterKind kind_ = PrinterKind::Zebra;
    std::vector<std::variant<ZplLabel, EscpPage>> pages_;
    QStringList warnings_;
};

}  // namespace travcard::render
