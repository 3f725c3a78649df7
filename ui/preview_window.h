#pragma once
// The print preview: shows a captured printer stream one label or page at a
// time, as the printer would draw it, and saves it as PDF or PNG. Modeless;
// the next run's stream replaces the one shown.

#include "render/printer_stream.h"
#include "text/message_box.h"

#include <QByteArray>
#include <QWidget>

#include <functional>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;

using travcard::render::PrinterKind;

class PreviewWindow : public QWidget {
    Q_OBJECT
public:
    // Asks for the file to save into (a caption and a filter such as
    // "PDF (*.pdf)"); an empty result cancels. The file dialog by default.
    using FileChooser = std::function<QString(const QString& caption, const QString& filter)>;

    explicit PreviewWindow(MessageBox* messages, QWidget* parent = nullptr);

    // Shows the bytes a print run produced, from the first label or page; a
    // Zebra stream is drawn in the dots of its printer's resolution (dpi).
    void showStream(const QByteArray& bytes, PrinterKind kind, int dpi = travcard::render::kZebraDotsPerInch);
    // The same for a stream already read into its labels or pages.
    void showPages(travcard::render::PageSet pages);

    const travcard::render::PageSet& pages() const { return pages_; }
    int pageCount() const { return pages_.count(); }
    int currentPage() const { return current_; }
    void showPage(int index);
    QStringList warnings() const { return pages_.warnings(); }

    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    // Every label or page into one PDF, one page each; false and a message
    // when the file cannot be written.
    bool saveAsPdf(const QString& path);
    // OUT.png, OUT-2.png ... one file per label or page.
    bool saveAsPng(const QString& path);

    QPushButton* cmdPrevious;
    QPushButton* cmdNext;
    QPushButton* cmdZoomIn;
    QPushButton* cmdZoomOut;
    QPushButton* cmdRotate;
    QPushButton* cmdSavePdf;
    QPushButton* cmdSavePng;
    QLabel* lblPosition;  // "Label 1 of 4"
    QLabel* lblCopies;    // "Copies: 2"
    QPlainTextEdit* txtWarnings;

private:
    void redraw();
    void zoomBy(double factor);
    void saveChosen(const QString& caption, const QString& filter,
                    bool (PreviewWindow::*save)(const QString&));

    MessageBox* messages_;
    FileChooser chooseFile_;
    travcard::render::PageSet pages_;
    int current_ = 0;
    QImage image_;  // the current page, drawn once
    double zoom_ = 0.5;
    int quarterTurns_ = 0;
    QScrollArea* scrollArea_;
    QLabel* picture_;
};
