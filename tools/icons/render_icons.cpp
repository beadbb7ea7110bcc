// Renders the program's icon for the desktop from the code that draws the window icon:
// nira7-analyser.svg and nira7-analyser-SIZE.png for each size given.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "ui/pictures.hpp"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: render-icons DIR [SIZE...]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    {
        QSvgGenerator svg;
        svg.setFileName(dir + "/nira7-analyser.svg");
        svg.setSize(QSize(64, 64));
        svg.setViewBox(QRect(0, 0, 64, 64));
        svg.setTitle("NIRA-7 UART Analyser");
        QPainter painter(&svg);
        nira::ui::pictures::drawRadarIcon(painter);
    }
    for (int i = 2; i < argc; ++i) {
        const int size = QString::fromLocal8Bit(argv[i]).toInt();
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.scale(size / 64.0, size / 64.0);
            nira::ui::pictures::drawRadarIcon(painter);
        }
        if (!image.save(dir + QString("/nira7-analyser-%1.png").arg(size))) {
            std::fprintf(stderr, "render-icons: cannot write the %d-pixel icon\n", size);
            return 1;
        }
    }
    return 0;
}
