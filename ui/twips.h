#pragma once
// Window layouts are given in twips (1/1440 inch). Pixels follow the
// screen's logical dpi: 15 twips per pixel at 96 dpi.

class QFont;
class QLabel;
class QPushButton;
class QString;
class QWidget;

class TwipsLayout {
public:
    explicit TwipsLayout(const QWidget& window);

    int pixels(int twips) const;
    void place(QWidget& control, int left, int top, int width, int height) const;
    void setClientSize(QWidget& window, int width, int height) const;

    // The platform's fonts run wider than the ones the layout was drawn for:
    // a caption that would be cut off widens its label or button to the
    // right, or to the left where the window ends. Lay the window out first.
    static void widenToFitCaption(QLabel& label);
    static void widenToFitCaption(QPushButton& button);

private:
    int dpi_;
};

// The platform's default sans-serif font at the given point size.
QFont sansSerifFont(double pointSize);
