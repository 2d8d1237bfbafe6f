#include "dialog_units.h"

#include <QApplication>
#include <QFontMetrics>

QFont DialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(8);
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average is taken over the 52 Latin letters and rounded, as dialog templates expect.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseWidth_ = (letters / 26 + 1) / 2;
    baseHeight_ = metrics.height();
    if (baseWidth_ < 1) baseWidth_ = 1;
    if (baseHeight_ < 1) baseHeight_ = 1;
}

int CDialogUnits::X(int units) const {
    return (units * baseWidth_ + 2) / 4;
}
int CDialogUnits::Y(int units) const {
    return (units * baseHeight_ + 4) / 8;
}
QSize CDialogUnits::Size(int width, int height) const {
    return {X(width), Y(height)};
}
QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
    return {X(x), Y(y), X(width), Y(height)};
}
