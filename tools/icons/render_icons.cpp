// Renders the program's icon for the desktop from the code that draws the window icon:
// nira7-analyser.svg and nira7-analyser-SIZE.png for each size given, or with --ico FILE the
// Windows icon (16 to 256 pixels) that the Windows build embeds in the program; --check-ico
// tells whether a kept icon is the picture the program draws now (or another file's).
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>
#include <optional>

#include "ico_pictures.hpp"
#include "ui/pictures.hpp"

namespace {

QImage render(int size) {
    return nira::icons::renderIcon(size, nira::ui::pictures::drawRadarIcon);
}

std::optional<QByteArray> readAll(const char* path) {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "render-icons: cannot read %s: %s\n", path,
                     qPrintable(file.errorString()));
        return std::nullopt;
    }
    return file.readAll();
}

// Compares a kept icon with another file, or with what the program draws now.
int checkIco(const char* keptPath, const char* otherPath) {
    const auto kept = readAll(keptPath);
    std::optional<QByteArray> other =
        otherPath != nullptr ? readAll(otherPath)
                             : nira::icons::icoFromImages(nira::icons::drawnIcoImages());
    if (!kept || !other) {
        return 2;
    }
    const QString difference = nira::icons::icoDifference(*kept, *other);
    if (difference.isEmpty()) {
        return 0;
    }
    std::fprintf(stderr, "render-icons: %s is not the picture %s: %s\n", keptPath,
                 otherPath != nullptr ? otherPath : "the program draws now",
                 qPrintable(difference));
    if (otherPath == nullptr) {
        std::fprintf(stderr, "After changing the picture, refresh it: render-icons --ico %s\n",
                     keptPath);
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: render-icons DIR [SIZE...] | render-icons --ico FILE |\n"
                     "       render-icons --check-ico KEPT [OTHER]\n");
        return 2;
    }
    if (QString::fromLocal8Bit(argv[1]) == "--check-ico") {
        if (argc != 3 && argc != 4) {
            std::fprintf(stderr, "usage: render-icons --check-ico KEPT [OTHER]\n");
            return 2;
        }
        return checkIco(argv[2], argc == 4 ? argv[3] : nullptr);
    }
    if (QString::fromLocal8Bit(argv[1]) == "--ico") {
        if (argc != 3) {
            std::fprintf(stderr, "usage: render-icons --ico FILE\n");
            return 2;
        }
        const auto ico = nira::icons::icoFromImages(nira::icons::drawnIcoImages());
        QFile file(QString::fromLocal8Bit(argv[2]));
        if (!ico || !file.open(QIODevice::WriteOnly) || file.write(*ico) != ico->size() ||
            !file.flush()) {
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
