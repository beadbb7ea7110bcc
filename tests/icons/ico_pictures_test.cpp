#include "ico_pictures.hpp"

#include <gtest/gtest.h>

#include <QFile>
#include <QPainter>

#include "ui/pictures.hpp"

namespace nira::icons {
namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

QByteArray drawnIco(const std::function<void(QPainter&)>& draw) {
    std::vector<QImage> images;
    for (const int size : kIcoSizes) {
        images.push_back(renderIcon(size, draw));
    }
    return icoFromImages(images).value();
}

TEST(IcoPictures, TheKeptIconIsWhatAnyMachineDraws) {
    const QByteArray kept = readFile(NIRA_KEPT_ICO);
    const QByteArray elsewhere = readFile(NIRA_FIXTURES "/nira7-analyser-drawn-elsewhere.ico");
    ASSERT_NE(kept, elsewhere) << "the fixture should differ in its bytes";
    EXPECT_EQ(icoDifference(kept, elsewhere).toStdString(), "");
    EXPECT_EQ(icoDifference(elsewhere, kept).toStdString(), "");
    EXPECT_EQ(icoDifference(kept, icoFromImages(drawnIcoImages()).value()).toStdString(), "");
}

TEST(IcoPictures, ARealChangeToTheDrawingIsCaught) {
    const QByteArray kept = readFile(NIRA_KEPT_ICO);
    const struct {
        const char* change;
        std::function<void(QPainter&)> draw;
    } cases[] = {
        {"moved by a pixel of the 64 frame",
         [](QPainter& p) {
             p.translate(1, 0);
             ui::pictures::drawRadarIcon(p);
         }},
        {"turned by a degree",
         [](QPainter& p) {
             p.translate(32, 32);
             p.rotate(1);
             p.translate(-32, -32);
             ui::pictures::drawRadarIcon(p);
         }},
        {"a blip in another colour",
         [](QPainter& p) {
             ui::pictures::drawRadarIcon(p);
             p.setBrush(QColor(255, 60, 60));
             p.drawEllipse(QPointF(44, 24), 2.5, 2.5);
         }},
        {"one blip more",
         [](QPainter& p) {
             ui::pictures::drawRadarIcon(p);
             p.setBrush(QColor(200, 255, 120));
             p.drawEllipse(QPointF(40, 40), 2, 2);
         }},
        {"a paler picture",
         [](QPainter& p) {
             p.setOpacity(0.9);
             ui::pictures::drawRadarIcon(p);
         }},
    };
    for (const auto& c : cases) {
        EXPECT_NE(icoDifference(kept, drawnIco(c.draw)).toStdString(), "") << c.change;
    }
}

TEST(IcoPictures, FilesThatAreNotTheSameIconAreToldApart) {
    const QByteArray kept = readFile(NIRA_KEPT_ICO);
    std::vector<QImage> images = drawnIcoImages();
    images.pop_back();
    EXPECT_EQ(icoDifference(kept, icoFromImages(images).value()).toStdString(),
              "6 images kept, 5 drawn");
    images = drawnIcoImages();
    images[0] = images[0].scaled(17, 17);
    EXPECT_EQ(icoDifference(kept, icoFromImages(images).value()).toStdString(),
              "the 16×16 image: sizes 16×16 and 17×17");

    const struct {
        QByteArray ico;
        const char* why;
    } broken[] = {
        {QByteArray("not an icon at all"), "the drawn icon: not an icon file"},
        {kept.left(40), "the drawn icon: the directory of 6 images is cut short"},
        {kept.left(kept.size() - 1), "the drawn icon: image 6 lies outside the file"},
        {QByteArray(kept).replace(kept.indexOf("PNG"), 3, "GIF"),
         "the drawn icon: image 1 is not a PNG picture"},
    };
    for (const auto& b : broken) {
        EXPECT_EQ(icoDifference(kept, b.ico).toStdString(), b.why);
    }
}

}  // namespace
}  // namespace nira::icons
