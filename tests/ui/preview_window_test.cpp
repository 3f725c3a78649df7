#include "ui/preview_window.h"

#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/pdf_pages.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>

namespace {

using ::testing::ElementsAre;

class Preview : public MainWindowTest {
protected:
    QByteArray printedBytes() const { return QByteArray::fromStdString(printed()); }
    PreviewWindow preview{&messages};
};

TEST_F(Preview, ShowsEveryLabelOfARunWithItsCopiesAndSavesThemAsPdf)
{
    start();
    locate("12345");
    print("All", "3");
    preview.showStream(printedBytes(), PrinterKind::Zebra);
    EXPECT_TRUE(preview.isVisible());
    EXPECT_FALSE(preview.isModal());
    EXPECT_EQ(preview.pageCount(), 4);
    EXPECT_EQ(preview.lblPosition->text(), "Label 1 of 4");
    EXPECT_EQ(preview.lblCopies->text(), "Copies: 3");
    EXPECT_FALSE(preview.cmdPrevious->isEnabled());
    preview.cmdNext->click();
    preview.cmdNext->click();
    preview.cmdNext->click();
    EXPECT_EQ(preview.lblPosition->text(), "Label 4 of 4");
    EXPECT_FALSE(preview.cmdNext->isEnabled());

    const QString pdf = QString::fromStdString(dir.file("tickets.pdf"));
    preview.setFileChooser([&](const QString&, const QString&) { return pdf; });
    preview.cmdSavePdf->click();
    EXPECT_EQ(pdfPageCount(pdf), 4);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(Preview, TheNextRunReplacesTheStreamAndItsWarnings)
{
    start("EPSON");
    locate("12345");
    print("All", "1");
    preview.showStream("^XA^FO0,0^FDX^FS^GC9^XZ^XA^FO0,0^FDY^FS^XZ", PrinterKind::Zebra);
    EXPECT_THAT(preview.warnings(), ElementsAre("^GC ignored"));
    EXPECT_TRUE(preview.txtWarnings->isVisibleTo(&preview));
    preview.cmdNext->click();

    preview.showStream(printedBytes(), PrinterKind::Epson);
    EXPECT_EQ(preview.lblPosition->text(), "Page 1 of 2");
    EXPECT_FALSE(preview.lblCopies->isVisibleTo(&preview));
    EXPECT_FALSE(preview.txtWarnings->isVisibleTo(&preview));
}

TEST_F(Preview, AFileThatCannotBeWrittenIsReported)
{
    preview.showStream("^XA^FO0,0^FDX^FS^XZ", PrinterKind::Zebra);
    const std::string path = dir.file("missing-folder/label.png");
    EXPECT_FALSE(preview.saveAsPng(QString::fromStdString(path)));
    EXPECT_THAT(messages.texts(), ElementsAre("The preview could not be saved as " + path + "."));
    EXPECT_TRUE(preview.saveAsPng(QString::fromStdString(dir.file("label.png"))));
}

}  // namespace

namespace {

TEST_F(Preview, PrintingToPreviewOpensTheWindowAndTheNextRunReusesIt)
{
    dir.write("travcard.cfg", "PRINTER=preview:\r\nPRTTYPE=ZEBRA\r\n");
    window = std::make_unique<frmMain>(&messages);
    ASSERT_FALSE(window->Form_Load(dir.path()));
    locate("12345");
    print("All", "2");
    PreviewWindow* shown = window->previewWindow();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->lblPosition->text(), "Label 1 of 4");

    print("20", "1");
    EXPECT_EQ(window->previewWindow(), shown);
    EXPECT_EQ(shown->lblPosition->text(), "Label 1 of 1");
    EXPECT_TRUE(messages.shown.empty());
}

}  // namespace
