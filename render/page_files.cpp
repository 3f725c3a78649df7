#include "render/page_files.h"

#include <QFileInfo>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

namespace {

QPageSize printedSize(const QImage& image)
{
    const double metersPerDotX = image.dotsPerMeterX() > 0 ? 1.0 / image.dotsPerMeterX() : 0.0254 / 72;
    const double metersPerDotY = image.dotsPerMeterY() > 0 ? 1.0 / image.dotsPerMeterY() : 0.0254 / 72;
    return QPageSize(QSizeF(image.width() * metersPerDotX * 1000, image.height() * metersPerDotY * 1000),
                     QPageSize::Millimeter, QString(), QPageSize::ExactMatch);
}

// Printers print ink or none: one bit a pixel keeps the files small and quick to write.
QImage inkOnly(const QImage& image) { return image.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither); }

}  // namespace

PdfPages::PdfPages(const QString& path) : path_(path) {}

PdfPages::~PdfPages() = default;

bool PdfPages::add(const QImage& image)
{
    const QImage ink = inkOnly(image);
    if (!writer_) {
        writer_ = std::make_unique<QPdfWriter>(path_);
        writer_->setCreator("travcard");
        writer_->setPageMargins(QMarginsF(0, 0, 0, 0));
        writer_->setPageSize(printedSize(image));
        painter_ = std::make_unique<QPainter>();
        if (!painter_->begin(writer_.get()))
            return false;
    } else {
        writer_->setPageSize(printedSize(image));
        if (!writer_->newPage())
            return false;
    }
    const QRect page = painter_->viewport();
    painter_->drawImage(page, ink);
    return true;
}

bool PdfPages::finish()
{
    if (!painter_)
        return false;
    const bool ended = painter_->end();
    painter_.reset();
    writer_.reset();
    return ended && QFileInfo(path_).size() > 0;
}

QString numberedPngPath(const QString& path, int pageNumber)
{
    if (pageNumber <= 1)
        return path;
    QString stem = path;
    if (stem.endsWith(".png", Qt::CaseInsensitive))
        stem.chop(4);
    return QString("%1-%2.png").arg(stem).arg(pageNumber);
}

bool savePng(const QImage& image, const QString& path)
{
    return inkOnly(image).save(path, "PNG");
}
