#pragma once

#include <QImage>

namespace travcard::render {

// One label or printer page as drawn. The image carries its resolution
// (QImage::dotsPerMeterX/Y), so that a PDF or PNG keeps the printed size.
struct RenderedPage {
    QImage image;
    int copies = 1;      // ^PQ: the printer prints the label this many times
    bool blank = false;  // nothing drawn on it
};

}  // namespace travcard::render
