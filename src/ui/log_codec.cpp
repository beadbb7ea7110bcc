#include "ui/log_codec.hpp"

#include "receiver/text_codec.hpp"

namespace nira::ui {

QString decodeLine(std::string_view bytes) {
    QString line(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = line.data();
    for (const char c : bytes) {
        *out++ = QChar(receiver::shownChar(static_cast<unsigned char>(c)));
    }
    return line;
}

std::string encodeLine(const QString& line) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(line.size()));
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        int b = receiver::byteOfShown(u);
        // A control character itself (a pasted TAB) is its own byte, as its picture is.
        if (b < 0 && (u < 0x20 || u == 0x7F)) {
            b = u;
        }
        bytes.push_back(b >= 0 ? static_cast<char>(b) : '?');
    }
    return bytes;
}

std::string encodeText(const QStringList& lines) {
    std::string text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += "\r\n";
        }
        text += encodeLine(lines[i]);
    }
    return text;
}

}  // namespace nira::ui
