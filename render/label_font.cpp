#include "render/label_font.h"

#include <QFontDatabase>

namespace travcard::render {
namespace {

QString familyIfInstalled(const QString& family)
{
    return QFontDatabase::hasFamily(family) ? family : QString();
}

}  // namespace

QString zebraFontFamily()
{
    static const QString family = familyIfInstalled("TeX Gyre Heros Cn");
    return family;
}

QString epsonFontFamily()
{
    static const QString family = familyIfInstalled("DejaVu Sans Mono");
    return family;
}

}  // namespace travcard::render
