#pragma once
// The capture journal: every line the receiver's handling logs is also appended, in the bytes
// Save writes (each line and CR LF), to a file of the day under the user's state folder, so a
// close, a crash, Esc or an Open never loses what the receiver sent. Old days are pruned.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "receiver/time_stamp.hpp"

namespace nira::capture {

class Journal {
  public:
    // Kept: days younger than this, and at most this many bytes in all.
    static constexpr std::chrono::hours kKeepFor{24 * 90};
    static constexpr std::uintmax_t kKeepBytes = std::uintmax_t{256} * 1024 * 1024;

    explicit Journal(std::filesystem::path folder, std::uintmax_t keepBytes = kKeepBytes)
        : folder_(std::move(folder)), keepBytes_(keepBytes) {}
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // $XDG_STATE_HOME/nira7/journal (else ~/.local/state/…); on Windows the local application
    // data folder's nira7\journal. Empty when there is no home to put it in.
    static std::filesystem::path defaultFolder();

    const std::filesystem::path& folder() const { return folder_; }
    // The day's file for `day` (nira7-YYYY-MM-DD.txt).
    std::filesystem::path fileFor(const receiver::ClockReading& day) const;

    // Appends one line, handed to the system before this returns. False, with `error` set the
    // first time, when it cannot be written; the next line tries again.
    bool append(std::string_view line, const receiver::ClockReading& now, std::string& error);

    // Removes the journal's files older than kKeepFor, then the oldest while all of them take
    // more than the bytes it keeps (kKeepBytes); never the file being written. Returns how many
    // went.
    int prune(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  private:
    std::filesystem::path folder_;
    std::uintmax_t keepBytes_;
    std::filesystem::path openPath_;
    std::FILE* file_ = nullptr;
};

}  // namespace nira::capture
