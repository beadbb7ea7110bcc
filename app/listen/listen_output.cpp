#include "listen_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "receiver/message.hpp"

#ifdef _WIN32
#include <io.h>
#endif

namespace nira::listen {

namespace {

// The system's words for an errno, thread-safe (strerror is not).
std::string systemText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

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

}  // namespace

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

std::string jsonLine(const capture::Arrival& arrival, std::chrono::system_clock::time_point when) {
    using receiver::hexByte;
    const auto kind = arrival.message.kind;
    if (kind == receiver::ChunkKind::Dropped) {
        return {};
    }
    std::string out = "{" + quoted("time", isoTime(when)) + "," + quoted("kind", kindName(kind)) +
                      "," + quoted("raw", hex(arrival.chunk)) +
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
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    return true;
}

bool LogFile::append(std::string_view line, std::string& error) {
    std::string bytes(line);
    bytes += "\r\n";
    const long n =
        static_cast<long>(::write(fd_, bytes.data(), static_cast<unsigned>(bytes.size())));
    if (n != static_cast<long>(bytes.size())) {
        error = "cannot write the log file \"" + path_ +
                "\": " + (n < 0 ? systemText(errno) : std::string("the disk is full"));
        return false;
    }
    return true;
}

}  // namespace nira::listen
