// travcard-render as an operator runs it: the built program on real files.

#include "tests/fixtures/pdf_pages.h"
#include "tests/render/ink.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

namespace {

using ::testing::HasSubstr;

constexpr const char* kTwoLabels = "^XA^FO50,50^A0N,40,30^FDONE^FS^XZ\r\n^XA^FO50,50^A0N,40,30^FDTWO^FS^PQ2^XZ\r\n";
constexpr const char* kEpsonPage = "\r\n  OPERATION NO: 10\r\n\x0C";

class RenderCommand : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }

    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    // Runs the program with args; its exit status, standard error in `errors`.
    int run(const std::string& args)
    {
        const std::string command = std::string(TRAVCARD_RENDER) + " " + args + " 2>" + path("stderr.txt");
        const int status = std::system(command.c_str());
        std::ifstream in(path("stderr.txt"));
        errors.assign(std::istreambuf_iterator<char>(in), {});
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    QTemporaryDir dir;
    std::string errors;
};

TEST_F(RenderCommand, ZebraToPdfOnePagePerLabelTypeGivenOrGuessed)
{
    write("job.zpl", kTwoLabels);
    EXPECT_EQ(run("--type zebra " + path("job.zpl") + " -o " + path("given.pdf")), 0) << errors;
    EXPECT_EQ(pdfPageCount(QString::fromStdString(path("given.pdf"))), 2);
    EXPECT_EQ(run(path("job.zpl") + " -o " + path("guessed.pdf")), 0) << errors;
    EXPECT_EQ(pdfPageCount(QString::fromStdString(path("guessed.pdf"))), 2);
}

TEST_F(RenderCommand, PngNumbersTheFilesAfterTheFirst)
{
    write("job.zpl", kTwoLabels);
    ASSERT_EQ(run(path("job.zpl") + " -o " + path("out.png")), 0) << errors;
    const QImage first(QString::fromStdString(path("out.png")));
    EXPECT_EQ(first.size(), QSize(812, 1218)) << "4 inches at 203 dpi; 6 inches without ^LL";
    EXPECT_FALSE(QImage(QString::fromStdString(path("out-2.png"))).isNull());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path("out-3.png"))));
}

// The same label at 300 dpi: 1.5 times the dots each way, the same printed size.
TEST_F(RenderCommand, DpiDrawsTheLabelInItsPrintersDots)
{
    write("job.zpl", kTwoLabels);
    ASSERT_EQ(run(path("job.zpl") + " -o " + path("at203.png")), 0) << errors;
    ASSERT_EQ(run("--dpi 300 " + path("job.zpl") + " -o " + path("at300.png")), 0) << errors;
    const QImage at203(QString::fromStdString(path("at203.png")));
    const QImage at300(QString::fromStdString(path("at300.png")));
    EXPECT_EQ(at300.size(), at203.size() * 1.5) << "the default label, 4 by 6 inches at 12 dots/mm";
    EXPECT_NEAR(static_cast<double>(at300.width()) / at300.dotsPerMeterX(),
                static_cast<double>(at203.width()) / at203.dotsPerMeterX(), 1e-4);
}

TEST_F(RenderCommand, EpsonGuessedFromAStreamWithoutZpl)
{
    write("page.prn", kEpsonPage);
    ASSERT_EQ(run(path("page.prn") + " -o " + path("page.png")), 0) << errors;
    const QImage page(QString::fromStdString(path("page.png")));
    EXPECT_EQ(page.width(), 3264) << "13.6 inches at 240 dpi";
    EXPECT_FALSE(travcard::testing::inkBox(page).isNull());
    EXPECT_EQ(run("--type epson " + path("page.prn") + " -o " + path("page.pdf")), 0) << errors;
    EXPECT_EQ(pdfPageCount(QString::fromStdString(path("page.pdf"))), 1);
}

TEST_F(RenderCommand, WarningsGoToStandardError)
{
    write("odd.zpl", "^XA^FO0,0^FDX^FS^GC50^XZ");
    EXPECT_EQ(run(path("odd.zpl") + " -o " + path("odd.png")), 0);
    EXPECT_THAT(errors, HasSubstr("warning: ^GC ignored"));
}

TEST_F(RenderCommand, ExitStatuses)
{
    EXPECT_EQ(run(path("missing.zpl") + " -o " + path("x.pdf")), 1);
    EXPECT_THAT(errors, HasSubstr("cannot read"));

    write("empty.zpl", "^XA^IDR:ID*.*^XZ\r\n");
    EXPECT_EQ(run(path("empty.zpl") + " -o " + path("empty.pdf")), 1);
    EXPECT_THAT(errors, HasSubstr("nothing a printer would draw"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path("empty.pdf"))));

    write("job.zpl", kTwoLabels);
    EXPECT_EQ(run(path("job.zpl") + " -o " + path("missing-folder/x.pdf")), 3);
    EXPECT_EQ(run(path("job.zpl")), 2) << "no output";
    EXPECT_EQ(run(path("job.zpl") + " -o " + path("x.gif")), 2);
    EXPECT_EQ(run("--type star " + path("job.zpl") + " -o " + path("x.pdf")), 2);
    for (const char* dpi : {"250", "300dpi", "auto", "\"\""}) {
        EXPECT_EQ(run("--dpi " + std::string(dpi) + " " + path("job.zpl") + " -o " + path("x.pdf")), 2) << dpi;
        EXPECT_THAT(errors, HasSubstr("--dpi is 203, 300 or 600")) << dpi;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path("x.pdf"))));
    EXPECT_EQ(run("--help >/dev/null"), 0);
    EXPECT_EQ(run("--version >/dev/null"), 0);
}

}  // namespace
