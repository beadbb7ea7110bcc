#include "ui/log_file.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstring>

namespace nira::ui {

namespace {

// Both separators on every system: the labels read a path the way the window always has.
bool isSeparator(QChar c) {
    return c == '\\' || c == '/';
}

// Up to the last separator or colon; the separator itself is dropped unless it is the first
// character or follows a separator or a colon, so a drive's root keeps it.
QString directoryText(const QString& path) {
    qsizetype at = path.size() - 1;
    while (at >= 0 && !isSeparator(path[at]) && path[at] != ':') {
        --at;
    }
    if (at < 0) {
        return {};
    }
    if (isSeparator(path[at]) && at > 0 && !isSeparator(path[at - 1]) && path[at - 1] != ':') {
        return path.left(at);
    }
    return path.left(at + 1);
}

QString fileNamePart(const QString& path) {
    qsizetype at = path.size() - 1;
    while (at >= 0 && !isSeparator(path[at]) && path[at] != ':') {
        --at;
    }
    return path.mid(at + 1);
}

QString fullPath(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

}  // namespace

QString lastFolderName(const QString& path) {
    const QString directory = directoryText(path);
    qsizetype at = directory.size() - 1;
    while (at >= 0 && !isSeparator(directory[at])) {
        --at;
    }
    return directory.mid(at + 1);
}

QString shortenedFileName(const QString& path) {
    const QString name = fileNamePart(path);
    return name.size() >= 4 ? name.left(name.size() - 4) : name;
}

std::string systemReason(const QString& description) {
    std::string reason = description.toStdString();
    while (!reason.empty() && (reason.back() == ' ' || reason.back() == '\r' ||
                               reason.back() == '\n' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason;
}

void writeLogFile(const QString& path, const std::string& bytes) {
    QSaveFile file(path);
    // Replaced whole through a temporary file where the folder allows it; in a folder the user
    // may not write, the file itself is written.
    file.setDirectWriteFallback(true);
    const auto fail = [&] {
        throw EFCreateError("Cannot create file \"" + fullPath(path).toStdString() + "\". " +
                            systemReason(file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly)) {
        fail();
    }
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size())) {
        file.cancelWriting();
        fail();
    }
    if (!file.commit()) {
        fail();
    }
}

std::string readLogFile(const QString& path, std::size_t capacity) {
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() +
                          "\". Is a directory");
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() + "\". " +
                          systemReason(file.errorString()));
    }
    std::string bytes;
    char buffer[1 << 16];
    while (true) {
        const qint64 n = file.read(buffer, sizeof buffer);
        if (n < 0) {
            throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() + "\". " +
                              systemReason(file.errorString()));
        }
        if (n == 0) {
            break;
        }
        // A NUL is kept: the log shows it as a symbol and saves it as the byte again.
        if (bytes.size() + static_cast<std::size_t>(n) > capacity) {
            throw EOutOfResources("Text exceeds memo capacity");
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

}  // namespace nira::ui
