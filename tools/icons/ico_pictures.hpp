#pragma once
// The Windows icon file: written from drawn images, read back into images, and two icons
// compared as pictures. Antialiased edges come out a level or two apart from one machine to the
// next (other library builds), so the files' bytes may differ while the pictures are the same.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QPainter;

namespace nira::icons {

// How far one channel of one pixel may stray, in levels of 255, before the pictures differ.
// What machines disagree on is a level or two; a moved or recoloured shape is tens of levels.
inline constexpr int kChannelTolerance = 8;

// The sizes the Windows icon carries.
inline constexpr int kIcoSizes[] = {16, 24, 32, 48, 64, 256};

// A picture drawn for a 64 × 64 frame, rendered at `size` pixels.
QImage renderIcon(int size, const std::function<void(QPainter&)>& draw);
// The program's icon at each of the Windows icon's sizes, as the Windows icon holds it.
std::vector<QImage> drawnIcoImages();

// An icon file whose images are PNG streams, which Windows reads since Vista.
std::optional<QByteArray> icoFromImages(const std::vector<QImage>& images);

// The images of an icon file, or nothing with `error` told why.
std::optional<std::vector<QImage>> imagesFromIco(const QByteArray& ico, QString* error);

// Empty when the two pictures are alike; otherwise where and how they differ.
QString pictureDifference(const QImage& kept, const QImage& drawn,
                          int tolerance = kChannelTolerance);

// Empty when two icon files hold alike pictures in the same sizes; otherwise why not.
QString icoDifference(const QByteArray& kept, const QByteArray& drawn);

}  // namespace nira::icons
