#pragma once

#include <QFont>
#include <QString>

namespace travcard::render {

// The fonts are looked up by family among those the system's font
// configuration (fontconfig) lists. The family is empty when the font is not
// installed; the text is then drawn with Qt's default sans or monospace.

// The condensed bold sans that stands in for the Zebra's scalable font 0:
// TeX Gyre Heros Cn Bold (Debian package fonts-texgyre, which the package
// recommends).
QString zebraFontFamily();

// The monospaced font for EPSON draft text: DejaVu Sans Mono.
QString epsonFontFamily();

}  // namespace travcard::render
