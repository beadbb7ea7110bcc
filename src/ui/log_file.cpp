#include "ui/log_file.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <cstdint>
#include <cstring>
#include <functional>

#include "ui/background_work.hpp"

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

namespace {

// Writes what `produce` hands out; false when it stopped (the old file stays).
bool writePieces(const QString& path,
                 const std::function<bool(const std::function<bool(std::string_view)>&)>& produce) {
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
    bool failed = false;
    const bool whole = produce([&](std::string_view piece) {
        if (file.write(piece.data(), static_cast<qint64>(piece.size())) !=
            static_cast<qint64>(piece.size())) {
            failed = true;
            return false;
        }
        return true;
    });
    if (failed) {
        file.cancelWriting();
        fail();
    }
    if (!whole) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        fail();
    }
    return true;
}

// Reads the file in pieces; false when `take` stopped it.
bool readPieces(const QString& path, std::size_t capacity,
                const std::function<bool(std::string_view)>& take) {
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() +
                          "\". Is a directory");
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() + "\". " +
                          systemReason(file.errorString()));
    }
    if (file.size() > 0 && static_cast<std::uint64_t>(file.size()) > capacity) {
        throw EOutOfResources("Text exceeds memo capacity");
    }
    std::string buffer(std::size_t{1} << 20, '\0');
    std::size_t total = 0;
    while (true) {
        const qint64 n = file.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (n < 0) {
            throw EFOpenError("Cannot open file \"" + fullPath(path).toStdString() + "\". " +
                              systemReason(file.errorString()));
        }
        if (n == 0) {
            return true;
        }
        // A NUL is kept: the log shows it as a symbol and saves it as the byte again. A file
        // that grows while it is read is held to the capacity too.
        total += static_cast<std::size_t>(n);
        if (total > capacity) {
            throw EOutOfResources("Text exceeds memo capacity");
        }
        if (!take(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            return false;
        }
    }
}

}  // namespace

void writeLogFile(const QString& path, const std::string& bytes) {
    writePieces(path, [&](const auto& write) { return write(bytes); });
}

bool writeLogFile(const QString& path, const LogLines& lines, BackgroundJob* job) {
    return writePieces(path, [&](const auto& write) {
        return lines.write([&](std::string_view piece) {
            if (job != nullptr) {
                if (job->isCancelled()) {
                    return false;
                }
                job->done += piece.size();
            }
            return write(piece);
        });
    });
}

std::optional<LogLines> readLogLines(const QString& path, std::size_t capacity, BackgroundJob* job,
                                     std::size_t lineCapacity) {
    LogLines::Builder builder;
    const bool whole = readPieces(path, capacity, [&](std::string_view piece) {
        if (job != nullptr) {
            if (job->isCancelled()) {
                return false;
            }
            job->done += piece.size();
        }
        builder.add(piece);
        if (builder.lineCount() > lineCapacity) {
            throw EOutOfResources(
                "The file has more lines than the log holds (at most " +
                QLocale::c().toString(static_cast<qulonglong>(lineCapacity)).toStdString() + ")");
        }
        return true;
    });
    if (!whole) {
        return std::nullopt;
    }
    return std::move(builder).finish();
}

}  // namespace nira::ui
