#pragma once
// The program's own pictures, drawn here: the window icon and the picture buttons'.

#include <QImage>

class QPainter;

namespace nira::ui::pictures {

QImage radarIcon();  // 64 × 64, a green radar screen
// The radar icon on any painter, in a 64 × 64 frame: the window icon, the desktop's icons.
void drawRadarIcon(QPainter& p);
QImage calculator();  // 32 × 32
QImage lifebuoy();    // 32 × 32, a lifebuoy with a magnifying glass
QImage house();       // 32 × 32
QImage makerLogo();   // 77 × 54
// 32 × 32, a transmitter with its waves over a list: the transmitters window.
QImage transmitterList();

}  // namespace nira::ui::pictures
