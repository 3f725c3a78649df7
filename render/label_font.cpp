#include "render/label_font.h"

#include <QFontDatabase>
#include <QStringList>

namespace travcard::render {
namespace {

QString familyFrom(const QString& wanted, const QStringList& knownFiles)
{
    if (QFontDatabase::families().contains(wanted))
        return wanted;
    for (const QString& file : knownFiles) {
        const int id = QFontDatabase::addApplicationFont(file);
        if (id >= 0 && !QFontDatabase::applicationFontFamilies(id).isEmpty())
            return QFontDatabase::applicationFontFamilies(id).front();
    }
    return {};
}

}  // namespace

QString zebraFontFamily()
{
    static const QString family = familyFrom(
        "TeX Gyre Heros Cn",
        {"/usr/share/texmf/fonts/opentype/public/tex-gyre/texgyreheroscn-bold.otf",
         "/usr/share/fonts/opentype/tex-gyre/texgyreheroscn-bold.otf"});
    return family;
}

QString epsonFontFamily()
{
    static const QString family =
        familyFrom("DejaVu Sans Mono", {"/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"});
    return family;
}

}  // namespace travcard::render
