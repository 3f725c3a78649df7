// travcard-render: draws a captured Zebra or EPSON printer stream as PDF
// (one page per label or printer page) or PNG (OUT.png, OUT-2.png, ...).

#include "render/page_files.h"
#include "render/printer_stream.h"

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <optional>
#include <variant>

namespace {

using travcard::render::PageRenderer;
using travcard::render::PrinterKind;

constexpr int kDone = 0;
constexpr int kNothingDrawn = 1;  // the file cannot be read or holds nothing drawable
constexpr int kUsage = 2;
constexpr int kNotWritten = 3;    // the output cannot be written

constexpr const char* kWhatItDoes =
    "Draws a captured printer stream: a PDF of one page per label or printer page,\n"
    "or PNG files (OUT.png, then OUT-2.png ...). Without --type the type is guessed.\n"
    "A Zebra stream is drawn for a printer of --dpi, 203 when left out.\n";

struct Arguments {
    std::optional<PrinterKind> kind;
    int dpi = travcard::render::kZebraDotsPerInch;
    QString input;
    QString output;
};

void say(const QString& text) { std::fprintf(stderr, "travcard-render: %s\n", qPrintable(text)); }

QString usageLine(const char* heading)
{
    return QString("%1: travcard-render [--type zebra|epson] [--dpi 203|300|600] FILE -o OUT.pdf|OUT.png\n")
        .arg(heading);
}

// Qt's help text after its usage line, which names the program by the path
// it was started from.
QString helpAfterUsage(const QCommandLineParser& parser)
{
    const QString text = parser.helpText();
    return text.mid(text.indexOf('\n') + 1);
}

int wrongCommandLine(const QString& fault)
{
    say(fault);
    std::fputs(qPrintable(usageLine("usage") + kWhatItDoes), stderr);
    return kUsage;
}

// What to draw, or the exit status once the command line has been answered
// (--help, --version) or refused.
std::variant<Arguments, int> readCommandLine(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString(kWhatItDoes).trimmed());
    const QCommandLineOption help({"h", "help"}, "Print this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Print the version and exit.");
    const QCommandLineOption type("type", "The printer language of FILE; guessed from its content when left out.",
                                  "zebra|epson");
    const QCommandLineOption dpi("dpi", "The resolution of the Zebra printer FILE is for; 203 when left out.",
                                 "203|300|600");
    const QCommandLineOption output("o", "The file to write, ending in .pdf or .png.", "OUT.pdf|OUT.png");
    parser.addOptions({help, version, type, dpi, output});
    parser.addPositionalArgument("FILE", "The captured printer stream.");

    if (!parser.parse(args))
        return wrongCommandLine(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(usageLine("Usage") + helpAfterUsage(parser)), stdout);
        return kDone;
    }
    if (parser.isSet(version)) {
        std::puts("travcard-render " TRAVCARD_VERSION);
        return kDone;
    }

    Arguments parsed;
    if (parser.isSet(type)) {
        const QString kind = parser.value(type).toLower();
        if (kind != "zebra" && kind != "epson")
            return wrongCommandLine(QString("--type is zebra or epson, not %1").arg(parser.value(type)));
        parsed.kind = kind == "zebra" ? PrinterKind::Zebra : PrinterKind::Epson;
    }
    if (parser.isSet(dpi)) {
        const QString value = parser.value(dpi);
        if (value != "203" && value != "300" && value != "600")
            return wrongCommandLine(QString("--dpi is 203, 300 or 600, not %1").arg(value));
        parsed.dpi = value.toInt();
    }
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() != 1)
        return wrongCommandLine(inputs.isEmpty() ? "no FILE given" : "more than one FILE given");
    parsed.input = inputs.front();
    parsed.output = parser.value(output);
    if (parsed.output.isEmpty())
        return wrongCommandLine("no output given (-o)");
    if (!parsed.output.endsWith(".pdf", Qt::CaseInsensitive) && !parsed.output.endsWith(".png", Qt::CaseInsensitive))
        return wrongCommandLine(QString("%1 ends neither in .pdf nor in .png").arg(parsed.output));
    return parsed;
}

int render(const Arguments& args)
{
    QFile file(args.input);
    if (!file.open(QIODevice::ReadOnly)) {
        say(QString("cannot read %1: %2").arg(args.input, file.errorString()));
        return kNothingDrawn;
    }
    const QByteArray bytes = file.readAll();
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    PageRenderer pages(bytes, args.kind.value_or(travcard::render::guessKind(view)), args.dpi);

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
    const std::variant<Arguments, int> command = readCommandLine(QGuiApplication::arguments());
    if (const int* status = std::get_if<int>(&command))
        return *status;
    return render(std::get<Arguments>(command));
}
