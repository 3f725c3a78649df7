#include "ui/preview_window.h"

#include "render/page_files.h"
#include "ui/qt_ui.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTransform>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr double kMinZoom = 0.125;
constexpr double kMaxZoom = 4.0;

}  // namespace

PreviewWindow::PreviewWindow(MessageBox* messages, QWidget* parent)
    : QWidget(parent, Qt::Window), messages_(messages)
{
    setWindowTitle(QString(applicationTitle) + " - Preview");
    chooseFile_ = [this](const QString& caption, const QString& filter) {
        return QFileDialog::getSaveFileName(this, caption, QString(), filter);
    };

    cmdPrevious = new QPushButton("< Previous");
    cmdNext = new QPushButton("Next >");
    lblPosition = new QLabel;
    lblCopies = new QLabel;
    cmdZoomOut = new QPushButton("Zoom Out");
    cmdZoomIn = new QPushButton("Zoom In");
    cmdRotate = new QPushButton("Rotate");
    cmdSavePdf = new QPushButton("Save as PDF...");
    cmdSavePng = new QPushButton("Save as PNG...");

    auto* bar = new QHBoxLayout;
    for (QWidget* control : std::initializer_list<QWidget*>{cmdPrevious, lblPosition, cmdNext, lblCopies})
        bar->addWidget(control);
    bar->addStretch();
    for (QWidget* control : std::initializer_list<QWidget*>{cmdZoomOut, cmdZoomIn, cmdRotate, cmdSavePdf, cmdSavePng})
        bar->addWidget(control);

    picture_ = new QLabel;
    picture_->setAlignment(Qt::AlignCenter);
    scrollArea_ = new QScrollArea;
    scrollArea_->setWidget(picture_);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setBackgroundRole(QPalette::Dark);

    txtWarnings = new QPlainTextEdit;
    txtWarnings->setReadOnly(true);
    txtWarnings->setMaximumHeight(90);
    txtWarnings->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(scrollArea_, 1);
    layout->addWidget(txtWarnings);
    resize(900, 760);

    connect(cmdPrevious, &QPushButton::clicked, this, [this] { showPage(current_ - 1); });
    connect(cmdNext, &QPushButton::clicked, this, [this] { showPage(current_ + 1); });
    connect(cmdZoomIn, &QPushButton::clicked, this, [this] { zoomBy(1.25); });
    connect(cmdZoomOut, &QPushButton::clicked, this, [this] { zoomBy(0.8); });
    connect(cmdRotate, &QPushButton::clicked, this, [this] {
        quarterTurns_ = (quarterTurns_ + 1) % 4;
        redraw();
    });
    connect(cmdSavePdf, &QPushButton::clicked, this,
            [this] { saveChosen("Save as PDF", "PDF (*.pdf)", &PreviewWindow::saveAsPdf); });
    connect(cmdSavePng, &QPushButton::clicked, this,
            [this] { saveChosen("Save as PNG", "PNG (*.png)", &PreviewWindow::saveAsPng); });
    new QShortcut(QKeySequence::MoveToNextPage, this, [this] { showPage(current_ + 1); });
    new QShortcut(QKeySequence::MoveToPreviousPage, this, [this] { showPage(current_ - 1); });
    new QShortcut(QKeySequence::ZoomIn, this, [this] { zoomBy(1.25); });
    new QShortcut(QKeySequence::ZoomOut, this, [this] { zoomBy(0.8); });
}

void PreviewWindow::showStream(const QByteArray& bytes, PrinterKind kind, int dpi)
{
    showPages(travcard::render::PageSet(bytes, kind, dpi));
}

void PreviewWindow::showPages(travcard::render::PageSet pages)
{
    pages_ = std::move(pages);
    const QStringList warnings = pages_.warnings();
    txtWarnings->setPlainText("Warnings:\n" + warnings.join('\n'));
    txtWarnings->setVisible(!warnings.isEmpty());
    current_ = -1;
    showPage(0);
    show();
    raise();
    activateWindow();
}

void PreviewWindow::showPage(int index)
{
    const int count = pages_.count();
    current_ = std::clamp(index, 0, std::max(count - 1, 0));
    const QString unit = pages_.kind() == PrinterKind::Zebra ? "Label" : "Page";
    image_ = count > 0 ? pages_.draw(current_).image : QImage();
    lblPosition->setText(count > 0 ? QString("%1 %2 of %3").arg(unit).arg(current_ + 1).arg(count)
                                   : QString("Nothing to print"));
    const int copies = count > 0 ? pages_.copies(current_) : 1;
    lblCopies->setText(QString("Copies: %1").arg(copies));
    lblCopies->setVisible(pages_.kind() == PrinterKind::Zebra && count > 0);
    cmdPrevious->setEnabled(current_ > 0);
    cmdNext->setEnabled(current_ + 1 < count);
    cmdSavePdf->setEnabled(count > 0);
    cmdSavePng->setEnabled(count > 0);
    redraw();
}

void PreviewWindow::redraw()
{
    if (image_.isNull()) {
        picture_->clear();
        return;
    }
    const QImage turned = image_.transformed(QTransform().rotate(90 * quarterTurns_));
    // A label of a 300 or 600 dpi printer shows as large as one of 203 dpi.
    const double scale =
        pages_.kind() == PrinterKind::Zebra ? zoom_ / travcard::render::dotsPerStandardDot(pages_.dpi()) : zoom_;
    const QSize size = (QSizeF(turned.size()) * scale).toSize().expandedTo(QSize(1, 1));
    picture_->setPixmap(QPixmap::fromImage(turned.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void PreviewWindow::zoomBy(double factor)
{
    zoom_ = std::clamp(zoom_ * factor, kMinZoom, kMaxZoom);
    redraw();
}

bool PreviewWindow::saveAsPdf(const QString& path)
{
    const BusyPointer busy;
    PdfPages document(path);
    bool written = true;
    for (int i = 0; i < pages_.count() && written; ++i)
        written = document.add(pages_.draw(i).image);
    written = written && document.finish();
    if (!written)
        messages_->show("The preview could not be saved as " + path.toStdString() + ".", MessageIcon::Warning);
    return written;
}

bool PreviewWindow::saveAsPng(const QString& path)
{
    const BusyPointer busy;
    for (int i = 0; i < pages_.count(); ++i) {
        const QString file = numberedPngPath(path, i + 1);
        if (!savePng(pages_.draw(i).image, file)) {
            messages_->show("The preview could not be saved as " + file.toStdString() + ".", MessageIcon::Warning);
            return false;
        }
    }
    return true;
}

void PreviewWindow::saveChosen(const QString& caption, const QString& filter,
                               bool (PreviewWindow::*save)(const QString&))
{
    const QString path = chooseFile_(caption, filter);
    if (!path.isEmpty())
        (this->*save)(path);
}
