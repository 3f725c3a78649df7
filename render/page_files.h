#pragma once
// Rendered labels and pages as files: a PDF of one page per image, each page
// the printed size that the image's resolution gives, or PNG files.

#include <QImage>
#include <QString>

#include <memory>

class QPdfWriter;
class QPainter;

class PdfPages {
public:
    explicit PdfPages(const QString& path);
    ~PdfPages();
    PdfPages(const PdfPages&) = delete;
    PdfPages& operator=(const PdfPages&) = delete;

    // Appends one page; false when the file cannot be written.
    bool add(const QImage& image);
    // Completes the file; false when it could not be written.
    bool finish();

private:
    QString path_;
    std::unique_ptr<QPdfWriter> writer_;
    std::unique_ptr<QPainter> painter_;
};

// OUT.png for the first page, OUT-2.png, OUT-3.png ... for the next.
QString numberedPngPath(const QString& path, int pageNumber);

bool savePng(const QImage& image, const QString& path);
