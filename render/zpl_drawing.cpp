// Draws a label the ZPL reader put together as the printer would print it.

#include "render/zpl.h"

#include "render/label_font.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTransform>

#include <cmath>

namespace travcard::render {
namespace {

// Maps a field's own upright frame (x along the reading direction, y down
// across it, its box `along` by `across` dots) onto the label.
QTransform fieldTransform(QPoint origin, Orientation orientation, qreal along, qreal across)
{
    QTransform transform;
    switch (orientation) {
    case Orientation::N:
        transform.translate(origin.x(), origin.y());
        break;
    case Orientation::R:
        transform.translate(origin.x() + across, origin.y());
        transform.rotate(90);
        break;
    case Orientation::I:
        transform.translate(origin.x() + along, origin.y() + across);
        transform.rotate(180);
        break;
    case Orientation::B:
        transform.translate(origin.x(), origin.y() + along);
        transform.rotate(270);
        break;
    }
    return transform;
}

// Font 0 at a given height in dots: its capitals take seven tenths of it,
// as on the printer, and the baseline lies at three quarters.
constexpr qreal kCapitalsOfHeight = 0.72;
constexpr qreal kBaselineOfHeight = 0.76;

QFont zebraFont(int height)
{
    static const QString family = zebraFontFamily();
    QFont font(family.isEmpty() ? QString("Sans") : family);
    font.setBold(true);
    font.setStyleStrategy(QFont::NoAntialias);
    static const qreal pixelsPerCapital = [&] {
        QFont probe = font;
        probe.setPixelSize(1000);
        return 1000 / QFontMetricsF(probe).capHeight();
    }();
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(height * kCapitalsOfHeight * pixelsPerCapital))));
    return font;
}

void setInk(QPainter& painter, bool reverse)
{
    painter.setCompositionMode(reverse ? QPainter::CompositionMode_Difference
                                       : QPainter::CompositionMode_SourceOver);
    const QColor ink = reverse ? Qt::white : Qt::black;
    painter.setPen(ink);
    painter.setBrush(ink);
}

void drawText(QPainter& painter, const ZplText& field)
{
    const QFont font = zebraFont(field.height);
    const QFontMetricsF metrics(font);
    // Font 0's natural width at a height h is its width h; ^A scales it.
    const qreal stretch = static_cast<qreal>(field.width) / field.height;
    const qreal along = metrics.horizontalAdvance(field.text) * stretch;
    painter.setTransform(fieldTransform(field.origin, field.orientation, along, field.height));
    painter.scale(stretch, 1);
    painter.setFont(font);
    setInk(painter, field.reverse);
    painter.drawText(QPointF(0, kBaselineOfHeight * field.height), field.text);
}

// The interpretation line: font 0 sized to the module width, and 6 dots of 203 dpi higher.
int interpretationHeight(int moduleWidth, int dpi) { return 6 * moduleWidth + dotsAt(dpi, 6); }

void drawBarcode(QPainter& painter, const ZplBarcode& field, int dpi)
{
    int along = 0;
    for (int element : field.elements)
        along += element;
    const int textHeight = field.interpretation.isEmpty() ? 0 : interpretationHeight(field.moduleWidth, dpi);
    const int gap = textHeight > 0 ? field.moduleWidth : 0;
    const int barsTop = field.interpretationAbove ? textHeight + gap : 0;
    painter.setTransform(fieldTransform(field.origin, field.orientation, along, field.height + textHeight + gap));
    setInk(painter, field.reverse);
    painter.setPen(Qt::NoPen);
    int x = 0;
    for (std::size_t i = 0; i < field.elements.size(); ++i) {
        if (i % 2 == 0)
            painter.drawRect(x, barsTop, field.elements[i], field.height);
        x += field.elements[i];
    }
    if (textHeight == 0)
        return;
    const QFont font = zebraFont(textHeight);
    const QFontMetricsF metrics(font);
    const qreal textWidth = metrics.horizontalAdvance(field.interpretation);
    const qreal textTop = field.interpretationAbove ? 0 : field.height + gap;
    setInk(painter, field.reverse);
    painter.setFont(font);
    painter.drawText(QPointF((along - textWidth) / 2, textTop + kBaselineOfHeight * textHeight), field.interpretation);
}

void drawBox(QPainter& painter, const ZplBox& box)
{
    painter.resetTransform();
    const QColor ink = box.black ? Qt::black : Qt::white;
    painter.setCompositionMode(box.reverse ? QPainter::CompositionMode_Difference
                                           : QPainter::CompositionMode_SourceOver);
    painter.setPen(Qt::NoPen);
    painter.setBrush(box.reverse ? QColor(Qt::white) : ink);
    const QRect r = box.rect;
    const int t = box.thickness;
    if (2 * t >= r.width() || 2 * t >= r.height()) {
        painter.drawRect(r);
        return;
    }
    painter.drawRect(r.x(), r.y(), r.width(), t);
    painter.drawRect(r.x(), r.bottom() + 1 - t, r.width(), t);
    painter.drawRect(r.x(), r.y() + t, t, r.height() - 2 * t);
    painter.drawRect(r.right() + 1 - t, r.y() + t, t, r.height() - 2 * t);
}

}  // namespace

RenderedPage drawZplLabel(const ZplLabel& label)
{
    QImage image(label.width, label.length, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    const int dpi = zebraDpi(label.dpi);
    // The printed size of a label of 300 or 600 dpi is that of the same label of 203.
    const int dotsPerMeter = static_cast<int>(std::lround(kZebraDotsPerInch / 0.0254 * dotsPerStandardDot(dpi)));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    QPainter painter(&image);
    for (const ZplField& field : label.fields) {
        std::visit(
            [&](const auto& f) {
                using T = std::decay_t<decltype(f)>;
                if constexpr (std::is_same_v<T, ZplText>)
                    drawText(painter, f);
                else if constexpr (std::is_same_v<T, ZplBarcode>)
                    drawBarcode(painter, f, dpi);
                else
                    drawBox(painter, f);
            },
            field);
    }
    painter.end();
    return {std::move(image), label.copies, label.fields.empty()};
}

}  // namespace travcard::render
