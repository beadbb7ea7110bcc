#pragma once
// Where the listener's lines go: text or JSON Lines on standard output, and the log file.
#include <chrono>
#include <string>
#include <string_view>

#include "capture/receiver_handler.hpp"

namespace nira::listen {

// ISO 8601 local time with milliseconds and the UTC offset: 2026-12-10T14:05:01.123+02:00.
std::string isoTime(std::chrono::system_clock::time_point when);

// One JSON object, no line break: time, kind, raw bytes in hex, whether "<" went back, and the
// decoded fields (with the twelve Smart pins for an event). Empty for a dropped chunk.
std::string jsonLine(const capture::Arrival& arrival, std::chrono::system_clock::time_point when);

// A log file the lines are appended to, one write per line, so a line is never split between
// two writers or a rotation.
class LogFile {
  public:
    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (again, after a rotation); false with the reason in `error`.
    bool open(std::string& error);
    // The line's bytes and CR LF; false with the reason in `error`.
    bool append(std::string_view line, std::string& error);

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace nira::listen
