#pragma once

#include <QPalette>

class QApplication;
class QColor;

// The windows are drawn in colours of their own (pale status lines, pastel command labels, a
// teal panel) with the black text, light buttons and grey frames of a light desktop around
// them. A dark desktop palette would put its light text on those pale backgrounds; so wherever
// the desktop's palette is dark, the program keeps the light palette its windows were drawn
// with, and a light palette is left as it is.
namespace LightPalette {

// Qt's own light palette (the Fusion style's), every colour of every group set, so that
// nothing of another palette shows through.
QPalette light();

// The relative luminance of a colour (WCAG 2): 0 for black, 1 for white.
double luminance(const QColor &colour);
// The contrast ratio of two colours (WCAG 2), from 1 (the same) to 21 (black on white).
double contrast(const QColor &a, const QColor &b);

// True when the palette draws lighter text on a darker ground, in the window, on buttons or
// in text boxes.
bool isDark(const QPalette &palette);

// Keeps the application's palette light: at once, and whenever the desktop's changes.
void keep(QApplication &app);

} // namespace LightPalette
