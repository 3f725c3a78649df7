#include "ui/twips.h"

#include <QFont>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <algorithm>
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

namespace {

void widenToFit(QWidget& control, const QString& caption, int padding)
{
    const int needed = control.fontMetrics().horizontalAdvance(caption) + padding;
    if (needed <= control.width())
        return;
    int left = control.x();
    if (const QWidget* window = control.parentWidget())
        left = std::max(0, std::min(left, window->width() - needed));
    control.setGeometry(left, control.y(), needed, control.height());
}

}  // namespace

void TwipsLayout::widenToFitCaption(QLabel& label) { widenToFit(label, label.text(), 2); }

void TwipsLayout::widenToFitCaption(QPushButton& button)
{
    widenToFit(button, button.text(), button.fontMetrics().horizontalAdvance("  ") + 8);
}

QFont sansSerifFont(double pointSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    return font;
}
