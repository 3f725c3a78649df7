#include "platform/twips.h"

#include <QFont>
#include <QFontDatabase>
#include <QWidget>

#include <cmath>

TwipsLayout::TwipsLayout(const QWidget& window) : dpi_(window.logicalDpiX()) {}

int TwipsLayout::pixels(int twips) const
{
    return static_cast<int>(std::lround(twips * dpi_ / 1440.0));
}

void TwipsLayout::place(QWidget& control, int left, int top, int width, int height) const
{
    control.setGeometry(pixels(left), pixels(top), pixels(width), pixels(height));
}

void TwipsLayout::setClientSize(QWidget& window, int width, int height) const
{
    window.setFixedSize(pixels(width), pixels(height));
}

QFont sansSerifFont(double pointSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    return font;
}
