// travcard-render: draws a captured Zebra or EPSON printer stream as PDF
// (one page per label or printer page) or PNG (OUT.png, OUT-2.png, ...).

#include "render/page_files.h"
#include "render/printer_stream.h"

#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <optional>

namespace {

using travcard::render::PageRenderer;
using travcard::render::PrinterKind;

constexpr int kDone = 0;
constexpr int kNothingDrawn = 1;  // the file cannot be read or holds nothing drawable
constexpr int kUsage = 2;
constexpr int kNotWritten = 3;    // the output cannot be written

const char* const kUsageText =
    "usage: travcard-render [--type zebra|epson] FILE -o OUT.pdf|OUT.png\n"
    "Draws a captured printer stream: a PDF of one page per label or printer page,\n"
    "or PNG files (OUT.png, then OUT-2.png ...). Without --type the type is guessed.\n";

struct Arguments {
    std::optional<PrinterKind> kind;
    QString input;
    QString output;
};

std::optional<Arguments> parse(const QStringList& args)
{
    Arguments parsed;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if ((arg == "--type" || arg == "-o") && i + 1 >= args.size())
            return std::nullopt;
        if (arg == "--type") {
            const QString type = args[++i].toLower();
            if (type != "zebra" && type != "epson")
                return std::nullopt;
            parsed.kind = type == "zebra" ? PrinterKind::Zebra : PrinterKind::Epson;
        } else if (arg == "-o") {
            parsed.output = args[++i];
        } else if (parsed.input.isEmpty() && !arg.startsWith("-")) {
            parsed.input = arg;
        } else {
            return std::nullopt;
        }
    }
    const bool knownFormat = parsed.output.endsWith(".pdf", Qt::CaseInsensitive) ||
                             parsed.output.endsWith(".png", Qt::CaseInsensitive);
    if (parsed.input.isEmpty() || !knownFormat)
        return std::nullopt;
    return parsed;
}

void say(const QString& text) { std::fprintf(stderr, "travcard-render: %s\n", qPrintable(text)); }

int render(const Arguments& args)
{
    QFile file(args.input);
    if (!file.open(QIODevice::ReadOnly)) {
        say(QString("cannot read %1: %2").arg(args.input, file.errorString()));
        return kNothingDrawn;
    }
    const QByteArray bytes = file.readAll();
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    PageRenderer pages(bytes, args.kind.value_or(travcard::render::guessKind(view)));

    const bool pdf = args.output.endsWith(".pdf", Qt::CaseInsensitive);
    PdfPages document(args.output);
    int count = 0;
    bool drawn = false;
    while (auto page = pages.next()) {
        ++count;
        drawn = drawn || !page->blank;
        const bool written = pdf ? document.add(page->image)
                                 : savePng(page->image, numberedPngPath(args.output, count));
        if (!written) {
            say(QString("cannot write %1").arg(pdf ? args.output : numberedPngPath(args.output, count)));
            return kNotWritten;
        }
    }
    for (const QString& warning : pages.warnings())
        say("warning: " + warning);
    if (pdf && count > 0 && !document.finish()) {
        say(QString("cannot write %1").arg(args.output));
        return kNotWritten;
    }
    if (!drawn) {
        say(QString("%1 holds nothing a printer would draw").arg(args.input));
        if (pdf)
            QFile::remove(args.output);
        else
            for (int n = 1; n <= count; ++n)
                QFile::remove(numberedPngPath(args.output, n));
        return kNothingDrawn;
    }
    std::fprintf(stderr, "travcard-render: %d %s written\n", count, count == 1 ? "page" : "pages");
    return kDone;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Fonts need a Qt Gui application; no display is needed to draw images.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const auto args = parse(app.arguments());
    if (!args) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    return render(*args);
}
