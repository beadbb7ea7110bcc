#pragma once
// What both windows share of their look and placement.

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

}  // namespace nira::ui
