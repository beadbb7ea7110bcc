// Renders the program's icon for the desktop from the code that draws the window icon:
// nira7-analyser.svg and nira7-analyser-SIZE.png for each size given, or with --ico FILE the
// Windows icon (16 to 256 pixels) that the Windows build embeds in the program.
#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>
#include <vector>

#include "ui/pictures.hpp"

namespace {

QImage render(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.scale(size / 64.0, size / 64.0);
    nira::ui::pictures::drawRadarIcon(painter);
    return image;
}

void putLe(QByteArray& out, unsigned value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

// An icon file whose images are PNG streams, which Windows reads since Vista.
bool writeIco(const QString& path) {
    const int sizes[] = {16, 24, 32, 48, 64, 256};
    std::vector<QByteArray> pngs;
    for (const int size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!render(size).save(&buffer, "PNG")) {
            return false;
        }
        pngs.push_back(png);
    }
    constexpr unsigned kHeader = 6;
    constexpr unsigned kEntry = 16;
    QByteArray ico;
    putLe(ico, 0, 2);  // reserved
    putLe(ico, 1, 2);  // an icon, not a cursor
    putLe(ico, static_cast<unsigned>(pngs.size()), 2);
    unsigned offset = kHeader + kEntry * static_cast<unsigned>(pngs.size());
    for (std::size_t i = 0; i < pngs.size(); ++i) {
        const auto side = static_cast<unsigned>(sizes[i] % 256);  // 0 stands for 256
        putLe(ico, side, 1);
        putLe(ico, side, 1);
        putLe(ico, 0, 1);   // no palette
        putLe(ico, 0, 1);   // reserved
        putLe(ico, 1, 2);   // colour planes
        putLe(ico, 32, 2);  // bits per pixel
        putLe(ico, static_cast<unsigned>(pngs[i].size()), 4);
        putLe(ico, offset, 4);
        offset += static_cast<unsigned>(pngs[i].size());
    }
    for (const auto& png : pngs) {
        ico.append(png);
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(ico) == ico.size() && file.flush();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: render-icons DIR [SIZE...] | render-icons --ico FILE\n");
        return 2;
    }
    if (QString::fromLocal8Bit(argv[1]) == "--ico") {
        if (argc != 3) {
            std::fprintf(stderr, "usage: render-icons --ico FILE\n");
            return 2;
        }
        if (!writeIco(QString::fromLocal8Bit(argv[2]))) {
            std::fprintf(stderr, "render-icons: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
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
        if (!render(size).save(dir + QString("/nira7-analyser-%1.png").arg(size))) {
            std::fprintf(stderr, "render-icons: cannot write the %d-pixel icon\n", size);
            return 1;
        }
    }
    return 0;
}
