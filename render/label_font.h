#pragma once

#include <QFont>
#include <QString>

namespace travcard::render {

// The condensed bold sans that stands in for the Zebra's scalable font 0:
// TeX Gyre Heros Cn Bold (Debian package fonts-texgyre, which the package
// recommends). Empty family when it is not installed; labels are then drawn
// with Qt's default sans.
QString zebraFontFamily();

// The monospaced font for EPSON draft text.
QString epsonFontFamily();

}  // namespace travcard::render
