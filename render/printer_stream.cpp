#include "render/printer_stream.h"

#include <cctype>

namespace travcard::render {
namespace {

std::string_view viewOf(const QByteArray& bytes)
{
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

std::variant<ZplReader, EscpReader> readerFor(std::string_view bytes, PrinterKind kind, int dpi)
{
    if (kind == PrinterKind::Zebra)
        return ZplReader(bytes, dpi);
    return EscpReader(bytes);
}

}  // namespace

PrinterKind guessKind(std::string_view bytes)
{
    for (std::size_t at = bytes.find('^'); at != std::string_view::npos; at = bytes.find('^', at + 1)) {
        if (at + 2 < bytes.size() && std::toupper(static_cast<unsigned char>(bytes[at + 1])) == 'X' &&
            std::toupper(static_cast<unsigned char>(bytes[at + 2])) == 'A')
            return PrinterKind::Zebra;
    }
    return PrinterKind::Epson;
}

PageRenderer::PageRenderer(QByteArray bytes, PrinterKind kind, int dpi)
    : bytes_(std::move(bytes)), reader_(readerFor(viewOf(bytes_), kind, dpi))
{
}

std::optional<RenderedPage> PageRenderer::next()
{
    return std::visit(
        [](auto& reader) -> std::optional<RenderedPage> {
            auto page = reader.next();
            if (!page)
                return std::nullopt;
            if constexpr (std::is_same_v<std::decay_t<decltype(reader)>, ZplReader>)
                return drawZplLabel(*page);
            else
                return drawEscpPage(*page);
        },
        reader_);
}

QStringList PageRenderer::warnings() const
{
    return std::visit([](const auto& reader) { return reader.warnings().list(); }, reader_);
}

PageSet::PageSet(const QByteArray& bytes, PrinterKind kind, int dpi) : kind_(kind), dpi_(zebraDpi(dpi))
{
    auto reader = readerFor(viewOf(bytes), kind, dpi);
    std::visit(
        [this](auto& r) {
            while (auto page = r.next())
                pages_.emplace_back(std::move(*page));
            warnings_ = r.warnings().list();
        },
        reader);
}

int PageSet::copies(int index) const
{
    const auto* label = std::get_if<ZplLabel>(&pages_.at(static_cast<std::size_t>(index)));
    return label ? label->copies : 1;
}

RenderedPage PageSet::draw(int index) const
{
    const auto& page = pages_.at(static_cast<std::size_t>(index));
    if (const auto* label = std::get_if<ZplLabel>(&page))
        return drawZplLabel(*label);
    return drawEscpPage(std::get<EscpPage>(page));
}


}  // namespace travcard::render
