#include "capture/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace nira::capture {

namespace fs = std::filesystem;

namespace {
constexpr std::string_view kPrefix = "nira7-";
constexpr std::string_view kSuffix = ".txt";

bool isJournalFile(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.size() == kPrefix.size() + 10 + kSuffix.size() && name.rfind(kPrefix, 0) == 0 &&
           name.substr(name.size() - kSuffix.size()) == kSuffix;
}
}  // namespace

Journal::~Journal() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

fs::path Journal::defaultFolder() {
    // NOLINTBEGIN(concurrency-mt-unsafe): read on the main thread as the window starts
#ifdef _WIN32
    const char* local = std::getenv("LOCALAPPDATA");
    return local != nullptr && *local != '\0' ? fs::path(local) / "nira7" / "journal" : fs::path();
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') {
        return fs::path(state) / "nira7" / "journal";
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0'
               ? fs::path(home) / ".local" / "state" / "nira7" / "journal"
               : fs::path();
#endif
    // NOLINTEND(concurrency-mt-unsafe)
}

fs::path Journal::fileFor(const receiver::ClockReading& day) const {
    char name[32];
    std::snprintf(name, sizeof name, "nira7-%04d-%02d-%02d.txt", day.year, day.month, day.day);
    return folder_ / name;
}

bool Journal::append(std::string_view line, const receiver::ClockReading& now, std::string& error) {
    const fs::path path = fileFor(now);
    if (file_ == nullptr || path != openPath_) {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
        std::error_code ec;
        fs::create_directories(folder_, ec);
        file_ = std::fopen(path.string().c_str(), "ab");
        if (file_ == nullptr) {
            error = "the capture journal " + path.string() +
                    " cannot be written: " + std::generic_category().message(errno);
            return false;
        }
        openPath_ = path;
    }
    std::string bytes(line);
    bytes += "\r\n";
    // Handed to the system at once: a crash of this program loses no line.
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
        std::fflush(file_) != 0) {
        error = "the capture journal " + path.string() +
                " cannot be written: " + std::generic_category().message(errno);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

int Journal::prune(std::chrono::system_clock::time_point now) {
    struct Entry {
        fs::path path;
        fs::file_time_type written;
        std::uintmax_t size;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entryEc;
        if (!it->is_regular_file(entryEc) || !isJournalFile(it->path())) {
            continue;
        }
        const auto written = it->last_write_time(entryEc);
        const auto size = it->file_size(entryEc);
        if (!entryEc) {
            entries.push_back({it->path(), written, size});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.written < b.written; });
    const auto cutoff =
        fs::file_time_type::clock::now() - std::chrono::duration_cast<fs::file_time_type::duration>(
                                               std::chrono::system_clock::now() - now + kKeepFor);
    std::uintmax_t total = 0;
    for (const auto& e : entries) {
        total += e.size;
    }
    int removed = 0;
    for (const auto& e : entries) {
        if (e.path == openPath_) {
            continue;
        }
        if (e.written < cutoff || total > keepBytes_) {
            std::error_code removeEc;
            if (fs::remove(e.path, removeEc)) {
                total -= e.size;
                ++removed;
            }
        }
    }
    return removed;
}

}  // namespace nira::capture
