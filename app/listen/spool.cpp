#include "spool.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "listen_support.hpp"

namespace nira::listen {

namespace {

constexpr char kMagic[4] = {'N', '7', 'S', '1'};
constexpr std::size_t kHeader = 12;
constexpr const char* kSuffix = ".seg";

std::uint32_t crc32(std::string_view bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFU;
    for (const char b : bytes) {
        c = table[(c ^ static_cast<std::uint8_t>(b)) & 0xFFU] ^ (c >> 8U);
    }
    return c ^ 0xFFFFFFFFU;
}

void put32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
}

void put64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
}

std::uint64_t get64(std::string_view in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8U) | static_cast<std::uint8_t>(in[static_cast<std::size_t>(i)]);
    }
    return value;
}

std::uint32_t get32(std::string_view in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8U) | static_cast<std::uint8_t>(in[static_cast<std::size_t>(i)]);
    }
    return value;
}

}  // namespace

Spool::Spool(std::filesystem::path folder, std::uint64_t maxBytes)
    : folder_(std::move(folder)),
      maxBytes_(std::max(maxBytes, kMinBytes)),
      segmentBytes_(std::max<std::uint64_t>(maxBytes_ / 8, 4096)) {}

Spool::~Spool() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (confirmedFd_ >= 0) {
        ::close(confirmedFd_);
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

std::string Spool::segmentName(std::uint64_t segment) {
    char name[32];
    std::snprintf(name, sizeof name, "%016llx%s", static_cast<unsigned long long>(segment),
                  kSuffix);
    return name;
}

std::string Spool::encode(std::string_view topic, std::string_view payload) {
    std::string body;
    body.reserve(topic.size() + 1 + payload.size());
    body.append(topic).append(1, '\0').append(payload);
    std::string out(kMagic, sizeof kMagic);
    put32(out, static_cast<std::uint32_t>(body.size()));
    put32(out, crc32(body));
    return out + body;
}

bool Spool::open(std::string& error) {
    std::lock_guard lock(mutex_);
    std::error_code code;
    std::filesystem::create_directories(folder_, code);
    if (code) {
        error = "cannot make the spool folder \"" + folder_.string() + "\": " + code.message();
        return false;
    }
    const std::string lockPath = (folder_ / "lock").string();
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        error = "cannot use the spool folder \"" + folder_.string() + "\": " + systemText(errno);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        char holder[256] = {};
        const ssize_t got = ::pread(lockFd_, holder, sizeof holder - 1, 0);
        std::string who(holder, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!who.empty() && (who.back() == '\n' || who.back() == '\0')) {
            who.pop_back();
        }
        error = "the spool folder \"" + folder_.string() + "\" is used by another nira7-listen" +
                (who.empty() ? std::string() : " (" + who + ")") +
                " with the same topic prefix; give each capture a prefix of its own (%p in "
                "--mqtt-topic puts the port's name in it)";
        ::close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    if (!owner_.empty()) {
        // Only a note for another that finds the spool held: a failure changes nothing.
        const std::string note = owner_ + "\n";
        if (::ftruncate(lockFd_, 0) == 0) {
            [[maybe_unused]] const ssize_t written = ::pwrite(lockFd_, note.data(), note.size(), 0);
        }
    }
    std::vector<std::pair<std::uint64_t, std::filesystem::path>> found;
    for (const auto& item : std::filesystem::directory_iterator(folder_, code)) {
        const std::string name = item.path().filename().string();
        if (name.size() != 16 + std::strlen(kSuffix) || !name.ends_with(kSuffix)) {
            continue;
        }
        char* end = nullptr;
        const unsigned long long number = std::strtoull(name.c_str(), &end, 16);
        if (end == name.c_str() + 16 && number != 0) {
            found.emplace_back(number, item.path());
        }
    }
    if (code) {
        error = "cannot read the spool folder \"" + folder_.string() + "\": " + code.message();
        return false;
    }
    std::sort(found.begin(), found.end());
    // Segment, offset and their sum (a torn or foreign file is no cursor): 24 bytes.
    confirmedFd_ = ::open((folder_ / "confirmed").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (confirmedFd_ >= 0) {
        char saved[24];
        if (::pread(confirmedFd_, saved, sizeof saved, 0) == static_cast<ssize_t>(sizeof saved)) {
            const std::string_view bytes(saved, sizeof saved);
            const std::uint64_t segment = get64(bytes.substr(0, 8));
            const std::uint64_t offset = get64(bytes.substr(8, 8));
            if (get64(bytes.substr(16, 8)) == (segment ^ offset ^ 0x6E69726137ULL)) {
                confirmed_ = {segment, offset};
            }
        }
    }
    for (const auto& [segment, path] : found) {
        readBack(segment, path);
        current_ = segment;
    }
    recovered_ = static_cast<long>(entries_.size());
    undelivered_ = entries_.size();
    // New records go to a segment of their own: the last one may end in a torn record.
    return startSegment(error);
}

void Spool::readBack(std::uint64_t segment, const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string_view all(bytes);
    long live = 0;
    std::size_t at = 0;
    bool inDamage = false;  // a damaged stretch counts once, however long
    const auto damage = [&] {
        if (!inDamage) {
            ++damaged_;
            inDamage = true;
        }
    };
    // A whole record, its length sane and its sum right, starts at `at`.
    const auto whole = [&](std::uint32_t& length) {
        if (all.size() - at < kHeader || all.compare(at, 4, kMagic, 4) != 0) {
            return false;
        }
        length = get32(all.substr(at + 4, 4));
        return length <= kMaxRecord + 64 && all.size() - at - kHeader >= length &&
               crc32(all.substr(at + kHeader, length)) == get32(all.substr(at + 8, 4));
    };
    while (at < all.size()) {
        std::uint32_t length = 0;
        if (!whole(length)) {
            damage();
            // The next record may begin anywhere after this one's first byte.
            const std::size_t next = all.find(std::string_view(kMagic, 4), at + 1);
            if (next == std::string_view::npos) {
                break;
            }
            at = next;
            continue;
        }
        const std::string_view body = all.substr(at + kHeader, length);
        const std::size_t split = body.find('\0');
        if (segment < confirmed_.first || (segment == confirmed_.first && at < confirmed_.second)) {
            inDamage = false;  // the broker took it in an earlier run
        } else if (split == std::string_view::npos) {
            damage();
        } else {
            inDamage = false;
            Entry entry;
            entry.record.number = nextNumber_++;
            entry.record.topic = std::string(body.substr(0, split));
            entry.record.payload = std::string(body.substr(split + 1));
            entry.segment = segment;
            entry.offset = at;
            entry.stored = true;
            entries_.push_back(std::move(entry));
            ++live;
        }
        at += kHeader + length;
    }
    if (live == 0) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return;
    }
    segments_[segment] = Segment{static_cast<std::uint64_t>(bytes.size()), live};
}

bool Spool::startSegment(std::string& error) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ++current_;
    const std::string path = (folder_ / segmentName(current_)).string();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "cannot write the spool file \"" + path + "\": " + systemText(errno);
        return false;
    }
    segments_[current_] = Segment{};
    return true;
}

bool Spool::append(std::string_view topic, std::string_view payload, std::string& error) {
    std::lock_guard lock(mutex_);
    Entry entry;
    entry.record.number = nextNumber_++;
    entry.record.topic = std::string(topic);
    entry.record.payload = std::string(payload);
    entries_.push_back(std::move(entry));
    ++undelivered_;
    ++unwritten_;
    unwrittenBytes_ += recordBytes(entries_.back());
    const bool written = writeUnwritten(error);
    makeRoom();
    return written;
}

std::size_t Spool::recordBytes(const Entry& entry) {
    return kHeader + entry.record.topic.size() + 1 + entry.record.payload.size();
}

// Writes the records not yet on the disk, oldest first; those are the newest records, so the
// files keep them in order. False with the reason in `error` if the disk did not take them all.
bool Spool::writeUnwritten(std::string& error) {
    std::size_t first = entries_.size();
    while (first > 0 && !entries_[first - 1].stored) {
        --first;
    }
    for (std::size_t i = first; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        if (entry.delivered) {
            entry.stored = true;  // the broker has it: no need to keep it
            continue;
        }
        // A full segment is closed; a segment that could not be made is tried again.
        if ((fd_ < 0 || segments_[current_].bytes >= segmentBytes_) && !startSegment(error)) {
            return false;
        }
        Segment& segment = segments_[current_];
        const std::string bytes = encode(entry.record.topic, entry.record.payload);
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n != static_cast<ssize_t>(bytes.size())) {
            error = "cannot write the spool file \"" + (folder_ / segmentName(current_)).string() +
                    "\": " + (n < 0 ? systemText(errno) : std::string("the disk is full"));
            // No torn record is left behind for the next run to count as damage, and the next
            // write goes where it began (not past a hole).
            const auto end = static_cast<off_t>(segment.bytes);
            if (n > 0 && (::ftruncate(fd_, end) != 0 || ::lseek(fd_, end, SEEK_SET) != end)) {
                std::string ignored;
                startSegment(ignored);
            }
            return false;
        }
        entry.offset = segment.bytes;
        segment.bytes += bytes.size();
        ++segment.live;
        entry.stored = true;
        entry.segment = current_;
        --unwritten_;
        unwrittenBytes_ -= recordBytes(entry);
    }
    return true;
}

void Spool::makeRoom() {
    while (diskBytes() + unwrittenBytes_ > maxBytes_) {
        // The newest segment is closed first, unless it is empty: then only records kept in
        // memory are left to drop.
        const bool onlyNewest = segments_.empty() || segments_.begin()->first == current_;
        if (onlyNewest && fd_ >= 0 && segments_[current_].bytes > 0) {
            std::string ignored;
            if (!startSegment(ignored)) {
                return;
            }
        }
        if (!segments_.empty() && segments_.begin()->first != current_) {
            const std::uint64_t oldest = segments_.begin()->first;
            std::size_t gone = 0;
            // Its records, and those the broker took before they reached a segment.
            while (gone < entries_.size() &&
                   (entries_[gone].segment == oldest ||
                    (entries_[gone].segment == 0 && entries_[gone].delivered))) {
                ++gone;
            }
            dropFront(gone);
            forget(oldest);
        } else if (!entries_.empty()) {
            dropFront(1);
        } else {
            return;
        }
    }
}

void Spool::dropFront(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = entries_[i];
        if (!entry.delivered) {
            ++dropped_;
            --undelivered_;
            if (!entry.stored) {
                --unwritten_;
                unwrittenBytes_ -= recordBytes(entry);
            }
        }
    }
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<long>(count));
    cursor_ = cursor_ > count ? cursor_ - count : 0;
    saveConfirmed();
}

void Spool::forget(std::uint64_t segment) {
    segments_.erase(segment);
    std::error_code ignored;
    std::filesystem::remove(folder_ / segmentName(segment), ignored);
}

std::vector<Spool::Record> Spool::take(std::size_t limit) {
    std::lock_guard lock(mutex_);
    std::vector<Record> out;
    while (cursor_ < entries_.size() && out.size() < limit) {
        const Entry& entry = entries_[cursor_++];
        if (!entry.delivered) {
            out.push_back(entry.record);
        }
    }
    return out;
}

void Spool::delivered(std::uint64_t number) {
    std::lock_guard lock(mutex_);
    if (entries_.empty() || number < entries_.front().record.number) {
        return;  // dropped meanwhile
    }
    const std::size_t index = number - entries_.front().record.number;
    if (index >= entries_.size() || entries_[index].delivered) {
        return;
    }
    Entry& entry = entries_[index];
    entry.delivered = true;
    --undelivered_;
    if (!entry.stored) {
        --unwritten_;
        unwrittenBytes_ -= recordBytes(entry);
    } else if (const auto segment = segments_.find(entry.segment); segment != segments_.end()) {
        --segment->second.live;
    }
    settleFront();
}

// Lets go of the delivered records at the front, and of the segments they emptied.
void Spool::settleFront() {
    std::size_t gone = 0;
    while (gone < entries_.size() && entries_[gone].delivered) {
        ++gone;
    }
    if (gone == 0) {
        return;
    }
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<long>(gone));
    cursor_ = cursor_ > gone ? cursor_ - gone : 0;
    while (!segments_.empty() && segments_.begin()->first != current_ &&
           segments_.begin()->second.live == 0) {
        forget(segments_.begin()->first);
    }
    if (entries_.empty() && fd_ >= 0 && segments_[current_].bytes > 0) {
        // All taken: the newest segment starts again empty.
        if (::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0) {
            segments_[current_].bytes = 0;
        }
    }
    saveConfirmed();
}

void Spool::saveConfirmed() {
    if (confirmedFd_ < 0) {
        return;
    }
    // The first record still owed, if it is on disk; else the end of what the disk holds.
    std::pair<std::uint64_t, std::uint64_t> at{current_, 0};
    if (!entries_.empty() && entries_.front().stored && !entries_.front().delivered &&
        entries_.front().segment != 0) {
        at = {entries_.front().segment, entries_.front().offset};
    } else if (const auto newest = segments_.find(current_); newest != segments_.end()) {
        at.second = newest->second.bytes;
    }
    if (at == confirmed_) {
        return;
    }
    confirmed_ = at;
    // Not forced to the disk: lost with the power, it only makes more go out again.
    std::string bytes;
    put64(bytes, at.first);
    put64(bytes, at.second);
    put64(bytes, at.first ^ at.second ^ 0x6E69726137ULL);
    [[maybe_unused]] const ssize_t written = ::pwrite(confirmedFd_, bytes.data(), bytes.size(), 0);
}

void Spool::rewind() {
    std::lock_guard lock(mutex_);
    cursor_ = 0;
}

std::size_t Spool::waiting() const {
    std::lock_guard lock(mutex_);
    return undelivered_;
}

std::size_t Spool::unwritten() const {
    std::lock_guard lock(mutex_);
    return unwritten_;
}

long Spool::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

long Spool::damaged() const {
    std::lock_guard lock(mutex_);
    return damaged_;
}

long Spool::recovered() const {
    std::lock_guard lock(mutex_);
    return recovered_;
}

std::uint64_t Spool::bytesOnDisk() const {
    std::lock_guard lock(mutex_);
    return diskBytes();
}

std::uint64_t Spool::diskBytes() const {
    std::uint64_t total = 0;
    for (const auto& [number, segment] : segments_) {
        total += segment.bytes;
    }
    return total;
}

// Read before any thread of the listener's is started.
// NOLINTBEGIN(concurrency-mt-unsafe)
std::filesystem::path stateFolder() {
    if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state != '\0') {
        const std::string first(state, std::strcspn(state, ":"));
        return first;
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
        return std::filesystem::path(xdg) / "nira7";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr && *home != '\0' ? home : ".") / ".local" /
           "state" / "nira7";
}
// NOLINTEND(concurrency-mt-unsafe)

}  // namespace nira::listen
