#pragma once
// The log file: its bytes, and the folder and file names the window shows for it.

#include <QString>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "ui/log_lines.hpp"

namespace nira::ui {

// A file that cannot be created or replaced: "Cannot create file "<path>". <reason>".
class EFCreateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// A file that cannot be opened for reading: "Cannot open file "<path>". <reason>".
class EFOpenError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// A text larger than the log takes.
class EOutOfResources : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The most text the log takes from a file, in bytes.
inline constexpr std::size_t kMemoCapacity = std::size_t{256} << 20;
// And in lines: each line costs a few bytes of its own besides its text, so a file of nothing
// but line breaks (256 MiB of them: 268 million lines) would cost gigabytes.
inline constexpr std::size_t kMemoLineCapacity = std::size_t{64} << 20;

// The part of the directory text after its last separator (backslash, or slash on POSIX
// systems); a drive's root or "/" gives the empty text.
QString lastFolderName(const QString& path);
// The file name less its last four characters when it has four or more.
QString shortenedFileName(const QString& path);

struct BackgroundJob;

// Writes `bytes` to `path` through a temporary file that replaces the old one only once it is
// whole, so a failed save leaves the old file as it was. Throws EFCreateError.
void writeLogFile(const QString& path, const std::string& bytes);
// The same for the log's lines, joined by CR LF. With a job: its `done` counts bytes written,
// and a cancel leaves the old file as it was and returns false.
bool writeLogFile(const QString& path, const LogLines& lines, BackgroundJob* job = nullptr);
// The file's lines (CR LF, LF or CR alone end one), NUL and every other byte kept. With a job:
// its `done` counts bytes read, and a cancel returns nothing. Throws EFOpenError, or
// EOutOfResources above the capacity (bytes or lines).
std::optional<LogLines> readLogLines(const QString& path, std::size_t capacity = kMemoCapacity,
                                     BackgroundJob* job = nullptr,
                                     std::size_t lineCapacity = kMemoLineCapacity);

// A system error's description as the messages carry it: no trailing blanks, line breaks or
// full stops.
std::string systemReason(const QString& description);

}  // namespace nira::ui
