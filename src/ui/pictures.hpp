#pragma once
// The program's own pictures, drawn here: the window icon and the picture buttons'.

#include <QImage>

namespace nira::ui::pictures {

QImage radarIcon();   // 64 × 64, a green radar screen
QImage calculator();  // 32 × 32
QImage lifebuoy();    // 32 × 32, a lifebuoy with a magnifying glass
QImage house();       // 32 × 32
QImage makerLogo();   // 77 × 54

}  // namespace nira::ui::pictures
