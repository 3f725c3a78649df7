// Where the ZPL and ESC/P commands put their ink, measured in the printers'
// own units: ZPL dots at 203 dpi, ESC/P vertical units of 1/216 inch drawn at
// 240 dpi.

#include "render/printer_stream.h"
#include "tests/render/ink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace travcard::render;
using travcard::testing::inkBox;
using travcard::testing::renderAll;
using travcard::testing::runsAlongRow;

QImage onlyLabel(const std::string& zpl)
{
    auto pages = renderAll(zpl, PrinterKind::Zebra);
    EXPECT_EQ(pages.size(), 1u);
    return pages.empty() ? QImage() : pages.front().image;
}

std::vector<QString> texts(const std::string& zpl)
{
    ZplReader reader(zpl);
    std::vector<QString> found;
    while (auto label = reader.next())
        for (const auto& field : label->fields)
            if (const auto* text = std::get_if<ZplText>(&field))
                found.push_back(text->text);
    return found;
}

TEST(ZplDrawing, RotatedTextLiesAcrossItsOriginWithItsHeightAlongX)
{
    const QImage label = onlyLabel("^XA^PW812^LL600^FO100,200^A0R,51,33^FDMOVE TICKET^FS^XZ");
    ASSERT_EQ(label.size(), QSize(812, 600)) << "^PW and ^LL give the label's size";
    const QRect ink = inkBox(label);
    EXPECT_GE(ink.left(), 100);
    EXPECT_LE(ink.right(), 151) << "51 dots high, lying along x";
    EXPECT_NEAR(ink.width(), 0.72 * 51, 3) << "capitals take seven tenths of the height, O overshoots";
    EXPECT_NEAR(ink.top(), 200, 6) << "reading down from the origin";

    const QRect upright = inkBox(onlyLabel("^XA^LL600^FO100,200^A0N,51,33^FDMOVE TICKET^FS^XZ"));
    EXPECT_NEAR(upright.left(), 100, 6);
    EXPECT_GE(upright.top(), 200);
    EXPECT_LE(upright.bottom(), 251);
    EXPECT_NEAR(upright.width(), ink.height(), 2) << "the same field, turned";
}

TEST(ZplDrawing, FontWidthScalesTheCharactersAcross)
{
    const QRect narrow = inkBox(onlyLabel("^XA^LL300^FO10,10^A0N,51,33^FDHHHHHH^FS^XZ"));
    const QRect wide = inkBox(onlyLabel("^XA^LL300^FO10,10^A0N,51,66^FDHHHHHH^FS^XZ"));
    EXPECT_NEAR(static_cast<double>(wide.width()) / narrow.width(), 2.0, 0.1);
    EXPECT_NEAR(wide.height(), narrow.height(), 1);
}

// Code 39 "*1*": ISO/IEC 16388 table 1, * = bsbsbsbsb NWNNWNWNN, 1 = WNNWNNNNW,
// one narrow gap between characters.
TEST(ZplDrawing, Code39ModuleAndRatioGiveNarrowAndWideElements)
{
    const QImage label = onlyLabel("^XA^LL200^BY3,3.0^FO40,20^B3N,N,50,N,N^FD1^FS^XZ");
    const std::vector<int> star = {3, 9, 3, 3, 9, 3, 9, 3, 3};
    const std::vector<int> one = {9, 3, 3, 9, 3, 3, 3, 3, 9};
    std::vector<int> expected = star;
    expected.push_back(3);
    expected.insert(expected.end(), one.begin(), one.end());
    expected.push_back(3);
    expected.insert(expected.end(), star.begin(), star.end());
    EXPECT_EQ(runsAlongRow(label, 40), expected);
    const QRect ink = inkBox(label);
    EXPECT_EQ(ink.left(), 40);
    EXPECT_EQ(ink.top(), 20);
    EXPECT_EQ(ink.height(), 50) << "no interpretation line";

    const QImage ratio2 = onlyLabel("^XA^LL200^BY2,2.0^FO40,20^B3N,N,50,N,N^FD1^FS^XZ");
    EXPECT_THAT(runsAlongRow(ratio2, 40), ::testing::Each(::testing::AnyOf(2, 4)));
}

TEST(ZplDrawing, InterpretationLineStandsBelowTheBarsWithinTheField)
{
    const QImage rotated = onlyLabel("^XA^LL800^BY3,3.0^FO55,290^B3R,N,100,Y,N^FD0020^FS^XZ");
    const QRect all = inkBox(rotated);
    EXPECT_EQ(all.top(), 290);
    EXPECT_GE(all.left(), 55);
    const QRect bars = inkBox(rotated, QRect(all.right() - 99, 0, 100, 800));
    EXPECT_EQ(bars.top(), 290) << "the bars take the top 100 dots, which face +x";
    const QRect line = inkBox(rotated, QRect(0, 0, all.right() - 100, 800));
    EXPECT_FALSE(line.isNull()) << "the interpretation line is below the bars";
}

TEST(ZplDrawing, FieldReverseInvertsWhatIsUnderIt)
{
    const QImage label =
        onlyLabel("^XA^LL300^FO0,0^GB300,50,50^FS^FO20,20^A0N,80,60^FR^FDWWWW^FS^XZ");
    EXPECT_EQ(inkBox(label, QRect(0, 0, 300, 20)), QRect(0, 0, 300, 20)) << "the box is black";
    int white = 0;
    for (int y = 20; y < 50; ++y)
        for (int x = 20; x < 300; ++x)
            white += !travcard::testing::inked(label, x, y);
    EXPECT_GT(white, 1000) << "the text shows white on the box";
    EXPECT_FALSE(inkBox(label, QRect(0, 50, 300, 250)).isNull()) << "and black below it";
}

TEST(ZplDrawing, WhatRunsPastTheLabelIsClipped)
{
    const auto pages = renderAll("^XA^PW400^LL300^BY3^FO200,10^B3N,N,50,N,N^FDABCDEFGHIJ^FS^XZ",
                                 PrinterKind::Zebra);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].image.size(), QSize(400, 300));
    EXPECT_EQ(inkBox(pages[0].image).right(), 399);
}

TEST(ZplText, HexEscapesAndCodePage850)
{
    EXPECT_THAT(texts("^XA^FO0,0^FH^FDA_5EB_7EC_5FD^FS^FO0,0^FDA_5E^FS^XZ"),
                ::testing::ElementsAre("A^B~C_D", "A_5E"))
        << "^FH decodes its own field only";
    EXPECT_THAT(texts("^XA^FO0,0^FH\\^FDx\\41^FS^XZ"), ::testing::ElementsAre("xA"));
    EXPECT_THAT(texts("^XA^CI13^FO0,0^FDM\x9aLLER \x9b^FS^XZ"), ::testing::ElementsAre(u8"MÜLLER ø"));
}

TEST(ZplLabels, CopiesPerFormatAndFormatsThatPrintNothingAreSkipped)
{
    const auto pages = renderAll("^XA^FO0,0^FDA^FS^PQ3,0,0,N^XZ^FX End^XA^IDR:ID*.*^XZ"
                                 "^XA^FO0,0^FDB^FS^XZ",
                                 PrinterKind::Zebra);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].copies, 3);
    EXPECT_EQ(pages[1].copies, 1);
}

TEST(ZplLabels, CfSetsTheFontFromTheFirstFieldOnAndAClosingBoxNeedsNoFs)
{
    ZplReader reader("^XA^CF0,60,40^FO50,50^FDA^FS^FO50,150^FDB^FS^XZ");
    const auto label = reader.next();
    ASSERT_TRUE(label);
    ASSERT_EQ(label->fields.size(), 2u);
    for (const ZplField& field : label->fields) {
        EXPECT_EQ(std::get<ZplText>(field).height, 60);
        EXPECT_EQ(std::get<ZplText>(field).width, 40);
    }
    EXPECT_EQ(renderAll("^XA^FO10,10^GB100,100,3^XZ", PrinterKind::Zebra).size(), 1u);
}

TEST(EscpDrawing, PaperStepOf24UnitsMovesTheNextLine24Over216Inch)
{
    const auto pages = renderAll("H\x1BJ\x18H", PrinterKind::Epson);
    ASSERT_EQ(pages.size(), 1u);
    const QImage& page = pages[0].image;
    const QRect first = inkBox(page, QRect(0, 0, 24, 200));
    const QRect second = inkBox(page, QRect(24, 0, 24, 200));
    EXPECT_NEAR(second.top() - first.top(), 24.0 * 240 / 216, 1.0) << "ESC J keeps the column";
}

TEST(EscpDrawing, TextAtTenPerInchAndBitImageColumnsAt120)
{
    const std::string columns(4, '\xFF');
    const auto pages = renderAll("\r\nABC" + std::string("\x1BL\x04\x00", 4) + columns, PrinterKind::Epson);
    ASSERT_EQ(pages.size(), 1u);
    const QImage& page = pages[0].image;
    const QRect bars = inkBox(page, QRect(3 * 24, 0, 200, 200));
    EXPECT_EQ(bars.left(), 72) << "after three characters of 1/10 inch";
    EXPECT_EQ(bars.width(), 8) << "four columns of 1/120 inch";
    EXPECT_NEAR(bars.height(), 8 * 240 / 72, 1) << "eight pins 1/72 inch apart";
    EXPECT_NEAR(bars.top(), 36 * 240 / 216, 1) << "one line of 1/6 inch down";
}

TEST(EscpText, CodePage437)
{
    EscpReader reader("M\x9aLLER \x9b");
    const auto page = reader.next();
    ASSERT_TRUE(page);
    ASSERT_EQ(page->texts.size(), 1u);
    EXPECT_EQ(page->texts[0].text, QString(u8"MÜLLER ¢"));
}

TEST(EscpPages, FormFeedAndPageLengthEndPages)
{
    EXPECT_EQ(renderAll("A\x0C" "B", PrinterKind::Epson).size(), 2u);
    std::string sixLines;
    for (int line = 0; line < 6; ++line)
        sixLines += "A\r\n";
    EXPECT_EQ(renderAll("\x1B" "C\x06" + sixLines + "B", PrinterKind::Epson).size(), 2u)
        << "a page of six lines of 1/6 inch";
    EXPECT_EQ(renderAll("A\r\n\r\n", PrinterKind::Epson).size(), 1u) << "no empty page at the end";
}

}  // namespace
