#pragma once
// The log file: its bytes, and the folder and file names the window shows for it.

#include <QString>
#include <cstddef>
#include <stdexcept>
#include <string>

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

// The part of the directory text after its last separator (backslash, or slash on POSIX
// systems); a drive's root or "/" gives the empty text.
QString lastFolderName(const QString& path);
// The file name less its last four characters when it has four or more.
QString shortenedFileName(const QString& path);

// Writes `bytes` to `path` through a temporary file that replaces the old one only once it is
// whole, so a failed save leaves the old file as it was. Throws EFCreateError.
void writeLogFile(const QString& path, const std::string& bytes);
// The file's bytes up to its first NUL. Throws EFOpenError, or EOutOfResources above the
// capacity.
std::string readLogFile(const QString& path, std::size_t capacity = kMemoCapacity);

// A system error's description as the messages carry it: no trailing blanks, line breaks or
// full stops.
std::string systemReason(const QString& description);

}  // namespace nira::ui
