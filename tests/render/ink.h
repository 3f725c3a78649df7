#pragma once
// Measuring rendered pages: where the ink is, and the widths of the bars and
// spaces along a line.

#include "render/printer_stream.h"

#include <QImage>
#include <QRect>

#include <string>
#include <vector>

namespace travcard::testing {

inline bool inked(const QImage& image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

// The smallest rectangle holding every inked pixel of the area.
inline QRect inkBox(const QImage& image, QRect area = {})
{
    if (area.isNull())
        area = image.rect();
    area &= image.rect();
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (inked(image, x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

// Run lengths of ink and paper along row y from the first inked pixel on.
inline std::vector<int> runsAlongRow(const QImage& image, int y)
{
    std::vector<int> runs;
    int x = 0;
    while (x < image.width() && !inked(image, x, y))
        ++x;
    while (x < image.width()) {
        const bool ink = inked(image, x, y);
        int length = 0;
        for (; x < image.width() && inked(image, x, y) == ink; ++x)
            ++length;
        runs.push_back(length);
    }
    if (!runs.empty() && runs.size() % 2 == 0)
        runs.pop_back();  // the paper after the last bar
    return runs;
}

// Every page of a stream, drawn.
inline std::vector<render::RenderedPage> renderAll(const std::string& bytes, render::PrinterKind kind)
{
    render::PageRenderer renderer(QByteArray::fromStdString(bytes), kind);
    std::vector<render::RenderedPage> pages;
    while (auto page = renderer.next())
        pages.push_back(std::move(*page));
    return pages;
}

}  // namespace travcard::testing
