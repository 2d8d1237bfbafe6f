#pragma once
// Dialog units: the window sizes are given in units of the dialog font, a quarter of its average
// character width across and an eighth of its height down, so that they follow the font.

#include <QFont>
#include <QRect>
#include <QSize>

// The dialog font: the desktop's interface family at 8 points.
QFont DialogFont();

class CDialogUnits {
  public:
    explicit CDialogUnits(const QFont& font = DialogFont());
    int X(int units) const;
    int Y(int units) const;
    QSize Size(int width, int height) const;
    QRect Rect(int x, int y, int width, int height) const;
    int BaseWidth() const { return baseWidth_; }
    int BaseHeight() const { return baseHeight_; }

  private:
    int baseWidth_;   // average width of the Latin letters, in pixels
    int baseHeight_;  // line height of the font, in pixels
};
