#pragma once
// Where the listener's lines go: text or JSON Lines on standard output, and the log file.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "capture/receiver_handler.hpp"
#include "listen_options.hpp"

namespace nira::listen {

// ISO 8601 local time with milliseconds and the UTC offset: 2026-12-10T14:05:01.123+02:00.
std::string isoTime(std::chrono::system_clock::time_point when);

// "test", "event", "unrecognised" or "dropped".
const char* kindName(receiver::ChunkKind kind);

// One JSON object, no line break: its id, time, kind, raw bytes in hex, whether "<" went back,
// and the decoded fields (with the twelve Smart pins for an event). Empty for a dropped chunk.
// The id is the time in milliseconds since 1970, a dash, `number`, and a dash and `run` when
// given (a tag of the run: two ports, two machines or two runs never give one id): the same
// message sent twice has the same one.
// `name`, when given, is the listed transmitter's.
std::string jsonLine(const capture::Arrival& arrival, std::chrono::system_clock::time_point when,
                     unsigned long number, std::string_view run = {}, std::string_view name = {});
// Eight hex digits drawn at random: a run's tag.
std::string runTag();

// One message as each of the listener's outputs takes it.
struct Outgoing {
    const capture::Arrival& arrival;
    const std::string& line;  // the log's line, stamped
    const std::string& json;  // its JSON line; empty when no output wants one
    std::chrono::system_clock::time_point at;
};

// An output of the listener's (the log file, the spool, the transmitters' state, standard
// output). Each message is handed to each in their order; the durable ones take it before the
// receiver is answered, the rest after.
class MessageOutput {
  public:
    virtual ~MessageOutput() = default;
    virtual bool durable() const = 0;
    virtual void take(const Outgoing& message) = 0;
};

// A log file the lines are appended to, one write per line, so a line is never split between
// two writers or a rotation. A line is in the file whole or not at all: a write cut short (a full
// disk, a size limit) is finished or cut back to the line's start, and the line counted as lost.
// A log deleted or moved away is noticed at the next line and opened again under its name.
class LogFile {
  public:
    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (again, after a rotation); false with the reason in `error`.
    bool open(std::string& error);
    // The line's bytes and CR LF; false with the reason in `error`. `notice` gets what the
    // operator should hear of besides (the log opened anew, writing working again).
    bool append(std::string_view line, std::string& error, std::string& notice);
    // Lines that could not be written.
    long lost() const { return lost_; }
    // Forces the lines written so far to the disk (from another thread than the writer's);
    // empty, or the sentence saying why not.
    std::string forceToDisk();

  private:
    // Whether the open file is still the one the path names.
    bool stillThere() const;

    std::string path_;
    std::mutex fdMutex_;  // fd_ changes at a reopen while forceToDisk() may look at it
    int fd_ = -1;
    long lost_ = 0;
    long lostInRun_ = 0;  // lost since writing last worked
};

// What the listener wrote is forced to the disk by a thread of its own, so the receiver is
// never held up: after each message (messages written while a sync runs share the next one),
// or at most a second after a message. One sync covers every part (the log file, the spool).
class DiskSync {
  public:
    explicit DiskSync(Sync mode);
    // A disk that never answers does not keep the program from ending.
    ~DiskSync();
    DiskSync(const DiskSync&) = delete;
    DiskSync& operator=(const DiskSync&) = delete;

    // What each sync forces, in the order added: empty, or the sentence of a failure. A part
    // must not touch its owner after the blocking call (an abandoned sync may return late).
    void add(std::function<std::string()> part);
    // A message was handed to the system.
    void written();
    // The last failure, once.
    std::string takeError();
    // Waits up to `limit` for what was written to be forced to the disk; false if not.
    bool finish(std::chrono::milliseconds limit);

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Lines for standard output, written by a thread of their own, so a reader that is slow or gone
// never holds up the receiver: a line finding too many waiting is dropped and counted; output
// that is gone (a closed pipe) is given up and counted likewise.
class OutputLines {
  public:
    explicit OutputLines(std::FILE* out, std::size_t maxWaiting = kMaxWaiting);
    ~OutputLines();
    OutputLines(const OutputLines&) = delete;
    OutputLines& operator=(const OutputLines&) = delete;

    static constexpr std::size_t kMaxWaiting = 10000;

    // False when the line was dropped.
    bool push(std::string line);
    long dropped() const { return shared_->dropped.load(); }
    // Waits up to `limit` for what waits to be written; a writer stuck on a reader that reads
    // nothing is left behind, and what it had left counts as dropped. True when it got done.
    bool finish(std::chrono::milliseconds limit);

  private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::string> waiting;
        bool stop = false;
        bool done = false;
        std::atomic<bool> gone{false};
        std::atomic<long> dropped{0};
    };
    static void write(std::FILE* out, const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::size_t maxWaiting_;
    std::thread writer_;
};

}  // namespace nira::listen
