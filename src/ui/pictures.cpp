#include "ui/pictures.hpp"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace nira::ui::pictures {

namespace {

QImage canvas(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

}  // namespace

QImage radarIcon() {
    QImage image = canvas(64, 64);
    QPainter p(&image);
    drawRadarIcon(p);
    return image;
}

void drawRadarIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient screen(32, 32, 30);
    screen.setColorAt(0, QColor(0, 90, 30));
    screen.setColorAt(1, QColor(0, 40, 12));
    p.setBrush(screen);
    p.setPen(QPen(QColor(60, 60, 60), 3));
    p.drawEllipse(QPointF(32, 32), 29, 29);
    // The sweep: a fading wedge behind the beam.
    QConicalGradient sweep(32, 32, 45);
    sweep.setColorAt(0, QColor(120, 255, 120, 200));
    sweep.setColorAt(0.25, QColor(120, 255, 120, 0));
    sweep.setColorAt(1, QColor(120, 255, 120, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sweep);
    p.drawEllipse(QPointF(32, 32), 27, 27);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(90, 220, 90), 1));
    for (int r : {9, 18, 27}) {
        p.drawEllipse(QPointF(32, 32), r, r);
    }
    p.drawLine(5, 32, 59, 32);
    p.drawLine(32, 5, 32, 59);
    p.setPen(QPen(QColor(180, 255, 180), 2));
    p.drawLine(QPointF(32, 32), QPointF(32 + 27 * std::cos(0.785), 32 - 27 * std::sin(0.785)));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 255, 120));
    p.drawEllipse(QPointF(44, 24), 2.5, 2.5);
    p.drawEllipse(QPointF(22, 40), 2, 2);
}

QImage calculator() {
    QImage image = canvas(32, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 50), 1.5));
    p.setBrush(QColor(120, 130, 150));
    p.drawRoundedRect(QRectF(5.5, 2.5, 21, 27), 3, 3);
    p.setBrush(QColor(200, 230, 200));
    p.drawRect(QRectF(8.5, 5.5, 15, 6));
    p.setPen(Qt::NoPen);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            p.setBrush(col == 2 && row == 2 ? QColor(230, 120, 40) : QColor(240, 240, 240));
            p.drawRect(QRectF(8.5 + col * 5.5, 14 + row * 4.8, 4, 3.4));
        }
    }
    return image;
}

QImage lifebuoy() {
    QImage image = canvas(32, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(13, 13);
    for (int i = 0; i < 4; ++i) {
        p.setPen(QPen(i % 2 == 0 ? QColor(220, 40, 30) : QColor(245, 245, 245), 6, Qt::SolidLine,
                      Qt::FlatCap));
        p.drawArc(QRectF(4, 4, 18, 18), i * 90 * 16, 90 * 16);
    }
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, 12, 12);
    p.drawEllipse(centre, 6, 6);
    // The magnifying glass over its lower right.
    p.setPen(QPen(QColor(60, 50, 40), 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(25, 25), QPointF(30, 30));
    p.setPen(QPen(QColor(50, 50, 60), 2));
    p.setBrush(QColor(180, 220, 255, 160));
    p.drawEllipse(QPointF(21, 21), 6, 6);
    return image;
}

QImage house() {
    QImage image = canvas(32, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath roof;
    roof.moveTo(2, 16);
    roof.lineTo(16, 3);
    roof.lineTo(30, 16);
    roof.closeSubpath();
    p.setPen(QPen(QColor(110, 30, 20), 1.5));
    p.setBrush(QColor(200, 60, 40));
    p.drawPath(roof);
    p.setPen(QPen(QColor(90, 70, 50), 1.5));
    p.setBrush(QColor(245, 225, 180));
    p.drawRect(QRectF(6.5, 15.5, 19, 14));
    p.setBrush(QColor(120, 80, 40));
    p.drawRect(QRectF(13.5, 20.5, 6, 9));
    p.setBrush(QColor(150, 200, 255));
    p.drawRect(QRectF(8.5, 18.5, 4, 4));
    p.drawRect(QRectF(21, 18.5, 3.5, 4));
    return image;
}

QImage makerLogo() {
    QImage image = canvas(77, 54);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 70, 130), 2));
    p.setBrush(QColor(230, 240, 250));
    p.drawRoundedRect(QRectF(1.5, 1.5, 74, 51), 8, 8);
    // Radio waves from an antenna.
    p.setBrush(Qt::NoBrush);
    for (int r = 5; r <= 15; r += 5) {
        p.setPen(QPen(QColor(0, 140, 70), 2));
        p.drawArc(QRectF(16 - r, 16 - r, 2 * r, 2 * r), 20 * 16, 140 * 16);
    }
    p.setPen(QPen(QColor(20, 70, 130), 2));
    p.drawLine(QPointF(16, 16), QPointF(16, 24));
    QFont font("DejaVu Sans");
    font.setBold(true);
    font.setPixelSize(15);
    p.setFont(font);
    p.setPen(QColor(20, 70, 130));
    p.drawText(QRectF(0, 26, 77, 24), Qt::AlignCenter, "NIRA-7");
    return image;
}

QImage transmitterList() {
    QImage image = canvas(32, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Mid-tones with a dark outline: seen on a light and a dark button face alike.
    p.setPen(QPen(QColor(30, 30, 30), 1.5));
    p.setBrush(QColor(70, 140, 220));
    p.drawRoundedRect(QRectF(5, 12, 8, 16), 2, 2);
    p.drawLine(QPointF(9, 12), QPointF(9, 4));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(230, 120, 30), 2));
    p.drawArc(QRectF(4, 0, 10, 10), 30 * 16, 120 * 16);
    p.drawArc(QRectF(1, -3, 16, 16), 35 * 16, 110 * 16);
    p.setPen(QPen(QColor(60, 160, 80), 3, Qt::SolidLine, Qt::RoundCap));
    for (int row = 0; row < 4; ++row) {
        const qreal y = 13 + row * 5;
        p.drawPoint(QPointF(17, y));
        p.drawLine(QPointF(21, y), QPointF(29, y));
    }
    return image;
}

}  // namespace nira::ui::pictures
