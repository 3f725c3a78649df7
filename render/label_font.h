#pragma once

#include <QFont>
#include <QString>

namespace travcard::render {

// The condensed bold sans that stands in for the Zebra's scalable font 0:
// TeX Gyre Heros Cn Bold (Debian package fonts-texgyre). Empty family when
// it is not installed; the caller then warns and draws with Qt's default.
QString zebraFontFamily();

// The monospaced font for EPSON draft text.
QString epsonFontFamily();

}  // namespace travcard::render
