#include "ico_pictures.hpp"

#include <QBuffer>
#include <QPainter>
#include <algorithm>
#include <cstdlib>

#include "ui/pictures.hpp"

namespace nira::icons {

namespace {

constexpr int kHeader = 6;
constexpr int kEntry = 16;

void putLe(QByteArray& out, unsigned value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

unsigned getLe(const QByteArray& in, qsizetype at, int bytes) {
    unsigned value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<unsigned>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    }
    return value;
}

QString sizeText(const QImage& image) {
    return QString("%1×%2").arg(image.width()).arg(image.height());
}

}  // namespace

QImage renderIcon(int size, const std::function<void(QPainter&)>& draw) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.scale(size / 64.0, size / 64.0);
    draw(painter);
    return image;
}

std::vector<QImage> drawnIcoImages() {
    std::vector<QImage> images;
    for (const int size : kIcoSizes) {
        images.push_back(renderIcon(size, ui::pictures::drawRadarIcon));
    }
    return images;
}

std::optional<QByteArray> icoFromImages(const std::vector<QImage>& images) {
    std::vector<QByteArray> pngs;
    for (const QImage& image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG")) {
            return std::nullopt;
        }
        pngs.push_back(png);
    }
    QByteArray ico;
    putLe(ico, 0, 2);  // reserved
    putLe(ico, 1, 2);  // an icon, not a cursor
    putLe(ico, static_cast<unsigned>(pngs.size()), 2);
    auto offset = static_cast<unsigned>(kHeader + kEntry * static_cast<int>(pngs.size()));
    for (std::size_t i = 0; i < pngs.size(); ++i) {
        const auto side = static_cast<unsigned>(images[i].width() % 256);  // 0 stands for 256
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
    return ico;
}

std::optional<std::vector<QImage>> imagesFromIco(const QByteArray& ico, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (ico.size() < kHeader || getLe(ico, 0, 2) != 0 || getLe(ico, 2, 2) != 1) {
        return fail("not an icon file");
    }
    const auto count = static_cast<int>(getLe(ico, 4, 2));
    if (ico.size() < kHeader + kEntry * count) {
        return fail(QString("the directory of %1 images is cut short").arg(count));
    }
    std::vector<QImage> images;
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = kHeader + kEntry * i;
        const qsizetype size = getLe(ico, entry + 8, 4);
        const qsizetype offset = getLe(ico, entry + 12, 4);
        if (offset > ico.size() || size > ico.size() - offset) {
            return fail(QString("image %1 lies outside the file").arg(i + 1));
        }
        QImage image = QImage::fromData(ico.mid(offset, size), "PNG");
        if (image.isNull()) {
            return fail(QString("image %1 is not a PNG picture").arg(i + 1));
        }
        // Premultiplied, so the colour of a pixel that is all but transparent counts for little.
        images.push_back(image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
    return images;
}

QString pictureDifference(const QImage& kept, const QImage& drawn, int tolerance) {
    if (kept.size() != drawn.size()) {
        return QString("sizes %1 and %2").arg(sizeText(kept), sizeText(drawn));
    }
    const QImage a = kept.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage b = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int worst = 0;
    int worstX = 0;
    int worstY = 0;
    int over = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = rowA[x];
            const QRgb q = rowB[x];
            const int d =
                std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            over += d > tolerance ? 1 : 0;
            if (d > worst) {
                worst = d;
                worstX = x;
                worstY = y;
            }
        }
    }
    if (over == 0) {
        return {};
    }
    return QString("%1 pixels differ by more than %2 levels, the most (%3) at %4,%5")
        .arg(over)
        .arg(tolerance)
        .arg(worst)
        .arg(worstX)
        .arg(worstY);
}

QString icoDifference(const QByteArray& kept, const QByteArray& drawn) {
    QString error;
    const auto a = imagesFromIco(kept, &error);
    if (!a) {
        return "the kept icon: " + error;
    }
    const auto b = imagesFromIco(drawn, &error);
    if (!b) {
        return "the drawn icon: " + error;
    }
    if (a->size() != b->size()) {
        return QString("%1 images kept, %2 drawn").arg(a->size()).arg(b->size());
    }
    for (std::size_t i = 0; i < a->size(); ++i) {
        const QString difference = pictureDifference((*a)[i], (*b)[i]);
        if (!difference.isEmpty()) {
            return QString("the %1 image: %2").arg(sizeText((*a)[i]), difference);
        }
    }
    return {};
}

}  // namespace nira::icons
