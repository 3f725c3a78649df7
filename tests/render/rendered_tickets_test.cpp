// The real print runs' output, drawn and read back with zbar as a scanner
// at the station would read the printed tickets.

#include "render/printer_stream.h"
#include "support/bit_image_decoder.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/render/ink.h"

#include <algorithm>
#include <cmath>

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

// What the preview showed of order 12345's four move tickets and operation
// 20's nested-part card, printed by a station of DPI=dpi.
struct Previewed {
    std::string stream;
    std::vector<QImage> labels;
};

class RenderedTickets : public MainWindowTest {
protected:
    Previewed preview(int dpi)
    {
        dir.write("travcard.cfg", "PRINTER=preview:\r\nPRTTYPE=ZEBRA\r\nDPI=" + std::to_string(dpi) +
                                      "\r\nJOURNAL=" + journalFile() + "\r\n");
        window = std::make_unique<frmMain>(&messages);
        EXPECT_FALSE(window->Form_Load(dir.path()));
        Previewed shown;
        window->previewHandler = [&shown, showInWindow = window->previewHandler](std::string bytes, bool zebra) {
            shown.stream += bytes;
            showInWindow(std::move(bytes), zebra);
        };
        locate("12345");
        print("All", "1");
        takeLabels(shown.labels);
        locate("12345");
        window->cmbOper->setCurrentText("20");
        window->cmdNestedParts->click();
        if (frmNested* nested = window->nestedWindow()) {
            nested->txtPartNo->setText("NP-7");
            nested->txtQty->setText("5");
            nested->txtCustomer->setText("ACME");
            nested->txtDept->setText("WELD");
            press(nested->cmdPrint);
            takeLabels(shown.labels);
        }
        EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
        return shown;
    }

private:
    void takeLabels(std::vector<QImage>& labels) const
    {
        const PreviewWindow* preview = window->previewWindow();
        if (!preview)
            return;
        EXPECT_TRUE(preview->warnings().isEmpty()) << preview->warnings().join('\n').toStdString();
        for (int i = 0; i < preview->pages().count(); ++i)
            labels.push_back(preview->pages().draw(i).image);
    }
};

// The labels of a stream for a printer of dpi, drawn without their barcodes.
std::vector<QImage> textAndRules(const std::string& stream, int dpi)
{
    ZplReader reader(stream, dpi);
    std::vector<QImage> labels;
    while (auto label = reader.next()) {
        std::erase_if(label->fields, [](const ZplField& field) { return std::holds_alternative<ZplBarcode>(field); });
        labels.push_back(drawZplLabel(*label).image);
    }
    return labels;
}

// The share of reference's ink that other inks too, at the same pixel or
// one next to it.
double inkMatched(const QImage& reference, const QImage& other)
{
    using travcard::testing::inked;
    const auto inkedNear = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (other.rect().contains(x + dx, y + dy) && inked(other, x + dx, y + dy))
                    return true;
        return false;
    };
    long long ink = 0;
    long long matched = 0;
    for (int y = 0; y < reference.height(); ++y)
        for (int x = 0; x < reference.width(); ++x)
            if (inked(reference, x, y)) {
                ++ink;
                matched += inkedNear(x, y);
            }
    return ink == 0 ? 0.0 : static_cast<double>(matched) / static_cast<double>(ink);
}

std::vector<Decoded> sorted(std::vector<Decoded> found)
{
    std::ranges::sort(found, {}, &Decoded::text);
    return found;
}

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

// A station of a 300 or 600 dpi Zebra printer prints the same cards at the
// same size. Its preview draws them in its printer's dots; scaled back to
// 203 dpi, their text and rules lie within a dot of those of the 203 dpi
// cards, and their barcodes read the same. (Bars of whole dots cannot lie
// on the bars of 203 dpi at 300: the narrow bar is 4 dots there, not 4.5.)
TEST_F(RenderedTickets, CardsOfA300Or600DpiPrinterMatchThoseOf203Dpi)
{
    const Previewed standard = preview(203);
    ASSERT_EQ(standard.labels.size(), 5u) << "four move tickets and a nested card";
    const std::vector<QImage> standardText = textAndRules(standard.stream, 203);
    for (const int dpi : {300, 600}) {
        const Previewed shown = preview(dpi);
        const std::vector<QImage> text = textAndRules(shown.stream, dpi);
        ASSERT_EQ(shown.labels.size(), standard.labels.size()) << dpi << " dpi";
        ASSERT_EQ(text.size(), standard.labels.size()) << dpi << " dpi";
        const double dots = dpi == 300 ? 1.5 : 3.0;  // 12 or 24 dots/mm for 8
        for (std::size_t i = 0; i < text.size(); ++i) {
            const std::string which = std::to_string(dpi) + " dpi, label " + std::to_string(i + 1);
            const QImage& label = shown.labels[i];
            const QImage& base = standard.labels[i];
            EXPECT_EQ(label.size(), base.size() * dots) << which;
            EXPECT_EQ(label.dotsPerMeterX(), std::lround(base.dotsPerMeterX() * dots)) << which << ": the printed size";
            const QImage back = text[i].scaled(base.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const double matched = inkMatched(standardText[i], back);
            EXPECT_GE(matched, 0.9) << which << ": " << matched << " of the 203 dpi text and rules";
            const std::vector<Decoded> read = sorted(barcodesOn(base));
            EXPECT_GE(read.size(), 2u) << "203 dpi, label " << i + 1;
            EXPECT_EQ(sorted(barcodesOn(label)), read) << which;
        }
    }
}

}  // namespace
