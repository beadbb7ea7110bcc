#include "ui/log_codec.hpp"

#include "receiver/text_codec.hpp"

namespace nira::ui {

QString decodeLine(std::string_view bytes) {
    QString line;
    line.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char c : bytes) {
        line.append(QChar(receiver::shownChar(static_cast<unsigned char>(c))));
    }
    return line;
}

std::string encodeLine(const QString& line) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(line.size()));
    for (const QChar c : line) {
        const int b = receiver::byteOfShown(c.unicode());
        bytes.push_back(b >= 0 ? static_cast<char>(b) : '?');
    }
    return bytes;
}

QStringList decodeText(std::string_view bytes) {
    QStringList lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            lines.append(decodeLine(bytes.substr(start, i - start)));
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    lines.append(decodeLine(bytes.substr(start)));
    return lines;
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
