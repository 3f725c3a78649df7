// The real print runs' output, drawn and read back with zbar as a scanner
// at the station would read the printed tickets.

#include "render/printer_stream.h"
#include "support/bit_image_decoder.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/render/ink.h"

namespace {

using namespace travcard::render;
using travcard::testing::Decoded;
using ::testing::Contains;
using ::testing::UnorderedElementsAre;

std::vector<Decoded> barcodesOn(const QImage& image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    return travcard::testing::decodeGreyImage(grey.constBits(), grey.width(), grey.height(),
                                              static_cast<int>(grey.bytesPerLine()));
}

Decoded code39(const std::string& text) { return {"CODE-39", text}; }

class RenderedTickets : public MainWindowTest {};

TEST_F(RenderedTickets, EveryZebraLabelCarriesItsOrderAndOperationBarcodes)
{
    start();
    locate("12345");
    print("All", "2");
    const PageSet labels(QByteArray::fromStdString(printed()), PrinterKind::Zebra);
    ASSERT_EQ(labels.count(), 4);
    EXPECT_TRUE(labels.warnings().isEmpty()) << labels.warnings().join('\n').toStdString();
    const char* operations[] = {"0010", "0020", "0040", "0050"};
    for (int i = 0; i < labels.count(); ++i) {
        const RenderedPage label = labels.draw(i);
        EXPECT_EQ(label.copies, 2);
        EXPECT_EQ(label.image.size(), QSize(812, 1496));
        EXPECT_THAT(barcodesOn(label.image), UnorderedElementsAre(code39("012345-000"), code39(operations[i])))
            << "label " << i + 1 << ": the part number barcode runs off the label";
    }
}

TEST_F(RenderedTickets, PaddedPartNumberBarcodeIsClippedAtTheLabelsEnd)
{
    start();
    locate("12345");
    print("10", "1");
    const PageSet labels(QByteArray::fromStdString(printed()), PrinterKind::Zebra);
    ASSERT_EQ(labels.count(), 1);
    const QImage label = labels.draw(0).image;
    // ^FO555,700 ^B3R: "*WIDGET-100          *" is 22 characters of 48 dots, to y 1752.
    const QRect bars = travcard::testing::inkBox(label, QRect(555, 700, 257, 796));
    EXPECT_GE(bars.bottom(), 1495 - 9) << "the blanks' bars run on to the label's end, at most a wide space short";
}

TEST_F(RenderedTickets, EveryEpsonPageCarriesItsRowsOfBothBarcodes)
{
    start("EPSON");
    locate("12345");
    print("All", "1");
    const PageSet pages(QByteArray::fromStdString(printed()), PrinterKind::Epson);
    ASSERT_EQ(pages.count(), 2) << "two tickets of 13 and 14 bar rows fill one 39-line form";
    EXPECT_TRUE(pages.warnings().isEmpty()) << pages.warnings().join('\n').toStdString();
    const std::vector<std::vector<std::string>> operations = {{"0010", "0020"}, {"0040", "0050"}};
    for (int i = 0; i < pages.count(); ++i) {
        const auto found = barcodesOn(pages.draw(i).image);
        EXPECT_THAT(found, Contains(Decoded{"I2/5", "012345"}));
        for (const std::string& operation : operations[static_cast<std::size_t>(i)])
            EXPECT_THAT(found, Contains(code39(operation))) << "page " << i + 1;
    }
}

}  // namespace
