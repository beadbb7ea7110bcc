#pragma once
// What both windows share of their look and placement.

#include <QColor>
#include <QFont>

class QPushButton;
class QWidget;

namespace nira::ui {

// The windows' font at a pixel height (an 8-point face is 11 pixels high).
QFont windowFont(int pixels, bool bold = false);
// Puts the window's frame in the middle of the primary screen.
void centreOnScreen(QWidget* window);
// Enter on the focused button presses it, as Space does (push buttons on Windows).
void pressedByEnter(QPushButton* button);

// Assistive tools see the windows as frames (a plain top-level widget reads as a "filler").
void frameForAssistiveTools();

// The contrast of two colours (1 to 21), by the relative luminance of WCAG 2.
double contrastRatio(const QColor& a, const QColor& b);
// The text contrast the windows keep, light or dark scheme alike.
inline constexpr double kReadableContrast = 4.5;
// `wanted`, or the nearest shade of it (towards black or white, whichever lies further from the
// background) that reaches kReadableContrast on `background`.
QColor readableOn(const QColor& wanted, const QColor& background);

}  // namespace nira::ui
