#include "listen_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#include "listen_support.hpp"
#include "receiver/message.hpp"
#include "transmitter_output.hpp"

#ifdef _WIN32
#include <io.h>
#endif

namespace nira::listen {

namespace {

std::string hex(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char b : bytes) {
        out += receiver::hexByte(static_cast<std::uint8_t>(b));
    }
    return out;
}

std::string quoted(std::string_view name, std::string_view value) {
    std::string out = "\"";
    out.append(name).append("\":\"").append(value).append("\"");
    return out;
}

}  // namespace

const char* kindName(receiver::ChunkKind kind) {
    switch (kind) {
        case receiver::ChunkKind::TestMessage:
            return "test";
        case receiver::ChunkKind::EventMessage:
            return "event";
        case receiver::ChunkKind::Unrecognised:
            return "unrecognised";
        case receiver::ChunkKind::Dropped:
            break;
    }
    return "dropped";
}

std::string isoTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm local{};
    std::tm utc{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
    gmtime_s(&utc, &seconds);
#else
    localtime_r(&seconds, &local);
    gmtime_r(&seconds, &utc);
#endif
    // The offset: the UTC reading taken as local time, against the local reading.
    utc.tm_isdst = local.tm_isdst;
    std::tm localCopy = local;
    const long offset =
        static_cast<long>(std::difftime(std::mktime(&localCopy), std::mktime(&utc)));
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    char tail[32];
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld",
                  static_cast<int>(millis < 0 ? 0 : millis), offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(text) + tail;
}

std::string runTag() {
    std::random_device random;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
    return tag;
}

std::string jsonLine(const capture::Arrival& arrival, std::chrono::system_clock::time_point when,
                     unsigned long number, std::string_view run, std::string_view name) {
    using receiver::hexByte;
    const auto kind = arrival.message.kind;
    if (kind == receiver::ChunkKind::Dropped) {
        return {};
    }
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::string id = std::to_string(millis) + "-" + std::to_string(number);
    if (!run.empty()) {
        id.append(1, '-').append(run);
    }
    std::string out = "{" + quoted("id", id) + "," + quoted("time", isoTime(when)) + "," +
                      quoted("kind", kindName(kind)) + "," + quoted("raw", hex(arrival.chunk)) +
                      ",\"acknowledged\":" + (arrival.acknowledged ? "true" : "false");
    if (kind == receiver::ChunkKind::TestMessage) {
        const auto& b = arrival.message.test;
        out += ",\"fields\":{" + quoted("TEST", hexByte(b[0])) + "," + quoted("CS", hexByte(b[1])) +
               "}";
    } else if (kind == receiver::ChunkKind::EventMessage) {
        const auto& b = arrival.message.event;
        out += ",\"fields\":{" + quoted("ST", hexByte(b[0])) + "," +
               quoted("ID", hexByte(b[1]) + hexByte(b[2]) + hexByte(b[3])) + "," +
               quoted("DT", hexByte(b[4])) + "," + quoted("D1", hexByte(b[5])) + "," +
               quoted("XXXX", hexByte(b[6]) + hexByte(b[7])) + "," + quoted("CS", hexByte(b[8])) +
               "},\"smart\":{";
        bool first = true;
        for (const auto& pin : receiver::smartPins(b)) {
            out += first ? "" : ",";
            first = false;
            out += quoted(pin.name, std::string(1, pin.state));
        }
        out += "}";
    }
    if (!name.empty()) {
        out += ",\"name\":" + jsonString(name);
    }
    return out + "}";
}

LogFile::LogFile(std::string path) : path_(std::move(path)) {}

LogFile::~LogFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool LogFile::open(std::string& error) {
#ifdef _WIN32
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_BINARY;
#else
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
#endif
    const int fd = ::open(path_.c_str(), flags, 0644);
    if (fd < 0) {
        error = "cannot open the log file \"" + path_ + "\": " + systemText(errno);
        return false;
    }
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    return true;
}

bool LogFile::stillThere() const {
#ifdef _WIN32
    return true;  // an open file cannot be deleted or moved there
#else
    struct stat open {};
    struct stat named {};
    return ::fstat(fd_, &open) == 0 && open.st_nlink > 0 && ::stat(path_.c_str(), &named) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
#endif
}

bool LogFile::append(std::string_view line, std::string& error, std::string& notice) {
    if (fd_ >= 0 && !stillThere()) {
        std::string reopenError;
        if (open(reopenError)) {
            notice = "the log file \"" + path_ + "\" was deleted or moved; writing to it anew";
        }
    }
    std::string bytes(line);
    bytes += "\r\n";
#ifndef _WIN32
    struct stat before {};
    const bool sized = ::fstat(fd_, &before) == 0;
#endif
    std::size_t done = 0;
    int failure = 0;
    while (done < bytes.size()) {
        const long n = static_cast<long>(
            ::write(fd_, bytes.data() + done, static_cast<unsigned>(bytes.size() - done)));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        failure = n < 0 ? errno : ENOSPC;
        break;
    }
    if (done == bytes.size()) {
        if (lostInRun_ > 0) {
            notice = "writing the log file \"" + path_ + "\" works again; " +
                     std::to_string(lostInRun_) + " lines were lost";
            lostInRun_ = 0;
        }
        return true;
    }
#ifndef _WIN32
    // Half a line would glue the next one to it: cut the file back to where the line began.
    if (done > 0 && sized) {
        (void)!::ftruncate(fd_, before.st_size);
    }
#endif
    ++lost_;
    ++lostInRun_;
    error = "cannot write the log file \"" + path_ + "\": " + systemText(failure);
    return false;
}

std::string LogFile::forceToDisk() {
    int fd = -1;
    {
        std::lock_guard lock(fdMutex_);
#ifdef _WIN32
        fd = fd_ >= 0 ? ::_dup(fd_) : -1;
#else
        fd = fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
#endif
    }
    if (fd < 0) {
        return {};
    }
#ifdef _WIN32
    const int failure = ::_commit(fd) == 0 ? 0 : errno;
#else
    const int failure = ::fdatasync(fd) == 0 ? 0 : errno;
#endif
    ::close(fd);
    return failure == 0 ? std::string()
                        : "the log file \"" + path_ +
                              "\" could not be forced to the disk: " + systemText(failure);
}

struct DiskSync::State {
    std::mutex mutex;
    std::condition_variable wake;
    Sync mode = Sync::None;
    std::vector<std::function<std::string()>> parts;
    unsigned long written = 0;  // messages written
    unsigned long synced = 0;   // messages written before the last sync began, now on the disk
    bool stop = false;
    std::string error;  // the last failure, for the writer to tell
};

DiskSync::DiskSync(Sync mode) : state_(std::make_shared<State>()) {
    state_->mode = mode;
    thread_ = quietThread([state = state_] {
        std::unique_lock lock(state->mutex);
        while (true) {
            state->wake.wait(lock, [&] { return state->stop || state->written > state->synced; });
            if (state->written == state->synced) {
                return;  // stopped with nothing left to force
            }
            if (state->mode == Sync::Second && !state->stop) {
                // Gathers what a second brings; a stop cuts the wait short.
                state->wake.wait_for(lock, std::chrono::seconds(1), [&] { return state->stop; });
            }
            const unsigned long upTo = state->written;
            const auto parts = state->parts;
            lock.unlock();
            std::string failure;
            for (const auto& part : parts) {
                if (std::string error = part(); !error.empty() && failure.empty()) {
                    failure = std::move(error);
                }
            }
            lock.lock();
            state->synced = upTo;
            if (!failure.empty()) {
                state->error = std::move(failure);
            }
            state->wake.notify_all();
        }
    });
}

DiskSync::~DiskSync() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
        state_->wake.notify_all();
    }
    thread_.detach();
}

void DiskSync::add(std::function<std::string()> part) {
    std::lock_guard lock(state_->mutex);
    state_->parts.push_back(std::move(part));
}

void DiskSync::written() {
    std::lock_guard lock(state_->mutex);
    ++state_->written;
    state_->wake.notify_all();
}

std::string DiskSync::takeError() {
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->error, std::string());
}

bool DiskSync::finish(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    state_->stop = true;
    state_->wake.notify_all();
    return state_->wake.wait_for(lock, limit, [&] { return state_->synced == state_->written; });
}

OutputLines::OutputLines(std::FILE* out, std::size_t maxWaiting) : maxWaiting_(maxWaiting) {
    writer_ = quietThread([out, shared = shared_] { write(out, shared); });
}

OutputLines::~OutputLines() {
    finish(std::chrono::seconds(1));
}

bool OutputLines::push(std::string line) {
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->gone.load() && shared_->waiting.size() < maxWaiting_) {
            shared_->waiting.push_back(std::move(line));
            shared_->wake.notify_one();
            return true;
        }
    }
    ++shared_->dropped;
    return false;
}

void OutputLines::write(std::FILE* out, const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stop || !shared->waiting.empty(); });
        if (shared->waiting.empty()) {
            break;
        }
        std::string line = std::move(shared->waiting.front());
        shared->waiting.pop_front();
        lock.unlock();
        line += '\n';
        const bool written =
            std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
        lock.lock();
        if (!written) {
            // A closed pipe or a full disk behind the output: what waits goes too.
            shared->gone = true;
            shared->dropped += 1 + static_cast<long>(shared->waiting.size());
            shared->waiting.clear();
        }
    }
    shared->done = true;
    shared->wake.notify_all();
}

bool OutputLines::finish(std::chrono::milliseconds limit) {
    if (!writer_.joinable()) {
        return true;
    }
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    const bool done = shared_->wake.wait_for(lock, limit, [&] { return shared_->done; });
    if (!done) {
        shared_->dropped += static_cast<long>(shared_->waiting.size());
        shared_->waiting.clear();
    }
    lock.unlock();
    if (done) {
        writer_.join();
    } else {
        writer_.detach();  // it holds its own share of what it needs
    }
    return done;
}

}  // namespace nira::listen
