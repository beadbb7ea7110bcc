#include "spool.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
    for (const int fd : {fd_, confirmedFd_, lockFd_, readFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    for (const int fd : toSync_) {
        ::close(fd);
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

namespace {

// The length of the whole record starting at `at`, its sum right; 0 if there is none.
std::size_t wholeRecord(std::string_view all, std::size_t at) {
    if (all.size() - at < kHeader || all.compare(at, 4, kMagic, 4) != 0) {
        return 0;
    }
    const std::uint32_t length = get32(all.substr(at + 4, 4));
    if (length > Spool::kMaxRecord + 64 || all.size() - at - kHeader < length ||
        crc32(all.substr(at + kHeader, length)) != get32(all.substr(at + 8, 4))) {
        return 0;
    }
    return kHeader + length;
}

// Reads `length` bytes at `offset`, whatever the reads cut short.
bool readAt(int fd, std::string& out, std::uint64_t offset, std::size_t length) {
    out.resize(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

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
    if (!found.empty()) {
        current_ = found.back().first;
    }
    earlier_ = std::move(found);
    recovering_ = !earlier_.empty();
    // New records go to a segment of their own: the last one may end in a torn record.
    return startSegment(error);
}

bool Spool::recover(const std::atomic<bool>& stop) {
    std::vector<std::pair<std::uint64_t, std::filesystem::path>> earlier;
    {
        std::lock_guard lock(mutex_);
        if (!recovering_) {
            return true;
        }
        earlier = earlier_;
    }
    // Read without the lock: the receiver's records go on into a segment of their own.
    std::deque<Entry> back;
    std::map<std::uint64_t, Segment> segments;
    std::uint64_t number = 1;
    long damaged = 0;
    for (const auto& [segment, path] : earlier) {
        if (stop.load()) {
            return false;
        }
        readBack(segment, path, back, segments, number, damaged);
    }
    std::lock_guard lock(mutex_);
    // Nothing of this run was handed out yet: its records are numbered on after the earlier.
    for (Entry& entry : entries_) {
        entry.number = number++;
    }
    nextNumber_ = number;
    recovered_ = static_cast<long>(back.size());
    undelivered_ += back.size();
    damaged_ += damaged;
    std::move(entries_.begin(), entries_.end(), std::back_inserter(back));
    entries_ = std::move(back);
    segments_.insert(segments.begin(), segments.end());
    earlier_.clear();
    recovering_ = false;
    makeRoom();
    return true;
}

bool Spool::recovering() const {
    std::lock_guard lock(mutex_);
    return recovering_;
}

void Spool::readBack(std::uint64_t segment, const std::filesystem::path& path,
                     std::deque<Entry>& into, std::map<std::uint64_t, Segment>& segments,
                     std::uint64_t& number, long& damaged) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size <= 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    // Mapped, not copied: a segment may be tens of megabytes, and its payloads stay on disk.
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        ++damaged;
        return;
    }
    ::madvise(map, size, MADV_SEQUENTIAL);
    const std::string_view all(static_cast<const char*>(map), size);
    long live = 0;
    std::size_t at = 0;
    bool inDamage = false;  // a damaged stretch counts once, however long
    const auto damage = [&] {
        if (!inDamage) {
            ++damaged;
            inDamage = true;
        }
    };
    while (at < all.size()) {
        const std::size_t length = wholeRecord(all, at);
        if (length == 0) {
            damage();
            // The next record may begin anywhere after this one's first byte.
            const std::size_t next = all.find(std::string_view(kMagic, 4), at + 1);
            if (next == std::string_view::npos) {
                break;
            }
            at = next;
            continue;
        }
        const std::string_view body = all.substr(at + kHeader, length - kHeader);
        if (segment < confirmed_.first || (segment == confirmed_.first && at < confirmed_.second)) {
            inDamage = false;  // the broker took it in an earlier run
        } else if (body.find('\0') == std::string_view::npos) {
            damage();
        } else {
            inDamage = false;
            Entry entry;
            entry.number = number++;
            entry.segment = segment;
            entry.offset = at;
            entry.bytes = static_cast<std::uint32_t>(length);
            entry.stored = true;
            into.push_back(std::move(entry));
            ++live;
        }
        at += length;
    }
    ::munmap(map, size);
    if (live == 0) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return;
    }
    segments[segment] = Segment{static_cast<std::uint64_t>(size), live};
}

bool Spool::startSegment(std::string& error) {
    if (fd_ >= 0) {
        if (syncing_) {
            toSync_.push_back(fd_);
        } else {
            ::close(fd_);
        }
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
    // A new file's name is on the disk only once its folder is synced.
    if (syncing_) {
        const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            toSync_.push_back(folder);
        }
    }
    return true;
}

void Spool::willSync() {
    std::lock_guard lock(mutex_);
    syncing_ = true;
}

int Spool::sync() {
    std::vector<int> fds;
    {
        std::lock_guard lock(mutex_);
        fds.swap(toSync_);
        if (fd_ >= 0) {
            const int current = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
            if (current >= 0) {
                fds.push_back(current);
            }
        }
    }
    int failure = 0;
    for (const int fd : fds) {
        if (::fdatasync(fd) != 0 && failure == 0 && errno != EINVAL) {
            failure = errno;  // EINVAL: a folder that cannot be synced, as on some file systems
        }
        ::close(fd);
    }
    return failure;
}

bool Spool::append(std::string_view topic, std::string_view payload, std::string& error) {
    std::lock_guard lock(mutex_);
    Entry entry;
    entry.number = nextNumber_++;
    entry.body = std::make_unique<Body>(Body{std::string(topic), std::string(payload)});
    entry.bytes = recordBytes(*entry.body);
    unwrittenBytes_ += entry.bytes;
    entries_.push_back(std::move(entry));
    ++undelivered_;
    ++unwritten_;
    const bool written = writeUnwritten(error);
    makeRoom();
    return written;
}

std::uint32_t Spool::recordBytes(const Body& body) {
    return static_cast<std::uint32_t>(kHeader + body.topic.size() + 1 + body.payload.size());
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
        const std::string bytes = encode(entry.body->topic, entry.body->payload);
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
        unwrittenBytes_ -= entry.bytes;
        // The newest stay in memory for the publisher; a backlog is read from the disk.
        if (heldBytes_ + entry.bytes <= kHeldBytes) {
            heldBytes_ += entry.bytes;
        } else {
            entry.body.reset();
        }
    }
    return true;
}

void Spool::makeRoom() {
    if (recovering_) {
        return;  // what the earlier run left is not known yet
    }
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
        Entry& entry = entries_[i];
        if (!entry.delivered) {
            ++dropped_;
            --undelivered_;
            if (!entry.stored) {
                --unwritten_;
                unwrittenBytes_ -= entry.bytes;
            }
        }
        releaseBody(entry);
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

void Spool::releaseBody(Entry& entry) {
    if (entry.body && entry.stored) {
        heldBytes_ -= entry.bytes;
    }
    entry.body.reset();
}

Spool::Entry* Spool::find(std::uint64_t number) {
    if (entries_.empty() || number < entries_.front().number) {
        return nullptr;  // dropped meanwhile, or taken
    }
    const std::size_t index = number - entries_.front().number;
    return index < entries_.size() ? &entries_[index] : nullptr;
}

std::vector<Spool::Record> Spool::take(std::size_t limit) {
    std::vector<Wanted> wanted;
    {
        std::lock_guard lock(mutex_);
        if (recovering_) {
            return {};
        }
        while (cursor_ < entries_.size() && wanted.size() < limit) {
            Entry& entry = entries_[cursor_++];
            if (entry.delivered) {
                continue;
            }
            Wanted w{entry.number, entry.segment, entry.offset, entry.bytes, nullptr};
            if (entry.body && entry.stored) {
                // On the disk: a second hand-out reads it from there.
                heldBytes_ -= entry.bytes;
                w.body = std::move(entry.body);
            } else if (entry.body) {
                w.body = std::make_unique<Body>(*entry.body);
            }
            wanted.push_back(std::move(w));
        }
    }
    // The backlog is read without the lock, a run of one segment's records at a time.
    for (std::size_t first = 0; first < wanted.size();) {
        if (wanted[first].body) {
            ++first;
            continue;
        }
        std::size_t last = first;
        while (last + 1 < wanted.size() && !wanted[last + 1].body &&
               wanted[last + 1].segment == wanted[first].segment &&
               wanted[last + 1].offset == wanted[last].offset + wanted[last].bytes) {
            ++last;
        }
        readFromDisk(wanted, first, last);
        first = last + 1;
    }
    std::vector<Record> out;
    out.reserve(wanted.size());
    std::vector<const Wanted*> unreadable;
    for (Wanted& w : wanted) {
        if (w.body) {
            out.push_back(Record{w.number, std::move(w.body->topic), std::move(w.body->payload)});
        } else {
            unreadable.push_back(&w);
        }
    }
    if (!unreadable.empty()) {
        std::lock_guard lock(mutex_);
        for (const Wanted* w : unreadable) {
            Entry* entry = find(w->number);
            if (entry == nullptr || entry->delivered) {
                continue;
            }
            if (w->retry) {
                cursor_ = std::min(cursor_,
                                   static_cast<std::size_t>(w->number - entries_.front().number));
                continue;
            }
            // Damaged on the disk since it was written: counted, and not waited for.
            ++damaged_;
            markDelivered(*entry);
        }
        settleFront();
    }
    return out;
}

void Spool::readFromDisk(std::vector<Wanted>& wanted, std::size_t first, std::size_t last) {
    const std::uint64_t segment = wanted[first].segment;
    if (readSegment_ != segment || readFd_ < 0) {
        if (readFd_ >= 0) {
            ::close(readFd_);
        }
        readSegment_ = segment;
        readFd_ = ::open((folder_ / segmentName(segment)).c_str(), O_RDONLY | O_CLOEXEC);
        if (readFd_ < 0) {
            // Gone: dropped meanwhile (the spool was full). Else tried again at the next take.
            if (errno != ENOENT) {
                for (std::size_t i = first; i <= last; ++i) {
                    wanted[i].retry = true;
                }
            }
            return;
        }
    }
    const std::uint64_t from = wanted[first].offset;
    const std::uint64_t to = wanted[last].offset + wanted[last].bytes;
    std::string bytes;
    if (!readAt(readFd_, bytes, from, static_cast<std::size_t>(to - from))) {
        return;
    }
    const std::string_view all(bytes);
    for (std::size_t i = first; i <= last; ++i) {
        const std::size_t at = wanted[i].offset - from;
        if (wholeRecord(all.substr(0, at + wanted[i].bytes), at) != wanted[i].bytes) {
            continue;
        }
        const std::string_view body = all.substr(at + kHeader, wanted[i].bytes - kHeader);
        const std::size_t split = body.find('\0');
        if (split != std::string_view::npos) {
            wanted[i].body = std::make_unique<Body>(
                Body{std::string(body.substr(0, split)), std::string(body.substr(split + 1))});
        }
    }
}

void Spool::markDelivered(Entry& entry) {
    entry.delivered = true;
    --undelivered_;
    if (!entry.stored) {
        --unwritten_;
        unwrittenBytes_ -= entry.bytes;
    } else if (const auto segment = segments_.find(entry.segment); segment != segments_.end()) {
        --segment->second.live;
    }
    releaseBody(entry);
}

void Spool::delivered(std::uint64_t number) {
    std::lock_guard lock(mutex_);
    Entry* entry = find(number);
    if (entry == nullptr || entry->delivered) {
        return;
    }
    markDelivered(*entry);
    settleFront();
}

void Spool::setAside(std::uint64_t number) {
    std::lock_guard lock(mutex_);
    Entry* entry = find(number);
    if (entry == nullptr || entry->delivered) {
        return;
    }
    std::string bytes;
    if (entry->body) {
        bytes = encode(entry->body->topic, entry->body->payload);
    } else {
        const int fd =
            ::open((folder_ / segmentName(entry->segment)).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (!readAt(fd, bytes, entry->offset, entry->bytes)) {
                bytes.clear();
            }
            ::close(fd);
        }
    }
    if (!bytes.empty()) {
        const int fd = ::open((folder_ / "set-aside").c_str(),
                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, bytes.data(), bytes.size());
            ::close(fd);
        }
    }
    ++setAside_;
    markDelivered(*entry);
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

long Spool::setAsideCount() const {
    std::lock_guard lock(mutex_);
    return setAside_;
}

std::uint64_t Spool::heldBytes() const {
    std::lock_guard lock(mutex_);
    return heldBytes_;
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
