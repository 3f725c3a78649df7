#pragma once
// Draws every page of a printer stream, as the preview and travcard-render
// do, and checks that each page is a bounded image however absurd the input.

#include "fuzz/check.h"
#include "render/printer_stream.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>

// Qt finds the label font through fontconfig, which keeps memory for its
// configuration and font caches that no one frees. Each renderer target is
// one source file, so this definition stands once in its program.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

// A Zebra stream is drawn for a printer of dpi (203, 300 or 600): its
// pages may be as many times larger as its dots are smaller.
inline void drawEveryPage(const std::uint8_t* data, std::size_t size, travcard::render::PrinterKind kind,
                          int dpi = 203)
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static const bool platformSet = setenv("QT_QPA_PLATFORM", "offscreen", 0) == 0;
    static QGuiApplication application(argc, argv);
    (void)platformSet;

    // The largest page the renderer draws: 8 x 30 inch labels at 203 dpi,
    // 13.6 x 22 inch pages at 240 dpi.
    const qint64 largestPage = 3264LL * 6090 * dpi * dpi / (203 * 203);
    travcard::render::PageRenderer pages(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), kind, dpi);
    int drawn = 0;
    while (const auto page = pages.next()) {
        FUZZ_CHECK(!page->image.isNull());
        FUZZ_CHECK(qint64{page->image.width()} * page->image.height() <= largestPage);
        FUZZ_CHECK(page->copies >= 1);
        if (++drawn == 16)  // later pages repeat what the first ones exercise
            break;
    }
}
