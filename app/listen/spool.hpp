#pragma once
// Messages on their way to the broker, kept on disk until the broker has taken them, so that a
// broker that is down, a network that is gone or a listener that is restarted loses none.
//
// The spool is a folder of segment files, each a run of records: "N7S1", the payload's length
// and its CRC-32 (both 32-bit little-endian), then the payload. Every message is written here
// before it is published; a segment whose messages the broker has all taken is deleted (the
// newest one emptied). A spool grown past its size drops its oldest segment. After open,
// recover() reads back the records every segment left by an earlier run holds, in order; damaged
// ones are skipped and counted.
//
// Memory holds a small index entry per waiting record; payloads only for the newest (up to
// kHeldBytes), those the disk refused and those being handed out. The rest is read from the disk
// as the broker takes it, so a large backlog costs little memory.
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nira::listen {

class Spool {
  public:
    struct Record {
        std::uint64_t number = 0;  // in the order written, from 1
        std::string topic;         // below the prefix: "event", "test", "unrecognised"
        std::string payload;
    };

    // `maxBytes`: what the segments may hold on disk together (at least 64 KiB).
    Spool(std::filesystem::path folder, std::uint64_t maxBytes);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    static constexpr std::uint64_t kMinBytes = 64 * 1024;
    static constexpr std::uint32_t kMaxRecord = 1024 * 1024;
    // Payloads of written records kept in memory for the publisher to take without a read.
    static constexpr std::uint64_t kHeldBytes = 1024 * 1024;

    // Creates the folder and takes it for this process alone; false with the reason in
    // `error`. Records can be appended at once; what an earlier run left waits for recover().
    bool open(std::string& error);
    // Reads back what an earlier run left (a large spool takes seconds: not on the receiver's
    // thread). Nothing is handed out before it is done. False when `stop` cut it short.
    bool recover(const std::atomic<bool>& stop);
    bool recovering() const;
    // Who holds the spool, written into its lock file and named to another that finds it held
    // ("/dev/ttyUSB0, process 1234").
    void setOwner(std::string owner) { owner_ = std::move(owner); }

    // Writes a record; false with the reason in `error` when the disk did not take it (it is
    // still published from memory, and written with the next record the disk takes).
    bool append(std::string_view topic, std::string_view payload, std::string& error);

    // Up to `limit` records not yet handed out, oldest first; each is handed out once until
    // rewind(). One thread takes (it reads from the disk outside the lock).
    std::vector<Record> take(std::size_t limit);
    // The broker has taken this record.
    void delivered(std::uint64_t number);
    // Hands out again what the broker has not taken (a new connection).
    void rewind();
    // The broker refuses this record again and again: it is moved to the file "set-aside" in the
    // folder (records as in a segment) and counted, so the rest go on.
    void setAside(std::uint64_t number);
    // From now on sync() is called: segments closed meanwhile are kept open for it.
    void willSync();
    // Forces what was written to the disk (the segments written since the last call, and the
    // folder where one was made); 0 or the errno of a failure. Called by a thread of its own.
    int sync();

    // Records the broker has not taken yet.
    std::size_t waiting() const;
    // Records the disk did not take (full, failing): kept in memory, written when it takes them
    // again, lost if the listener ends first.
    std::size_t unwritten() const;
    // Records dropped unpublished because the spool was full.
    long dropped() const;
    // Damaged records skipped when reading back.
    long damaged() const;
    // Records read back from an earlier run.
    long recovered() const;
    // Records set aside.
    long setAsideCount() const;
    // Payload bytes held in memory.
    std::uint64_t heldBytes() const;
    // Bytes the segments hold on disk.
    std::uint64_t bytesOnDisk() const;
    const std::filesystem::path& folder() const { return folder_; }

    // A segment file's name for its number, and the record's bytes as written (for tests that
    // make or damage a spool).
    static std::string segmentName(std::uint64_t segment);
    static std::string encode(std::string_view topic, std::string_view payload);

  private:
    struct Body {
        std::string topic;
        std::string payload;
    };
    struct Entry {
        std::uint64_t number = 0;
        std::uint64_t segment = 0;  // 0 while in no segment file
        std::uint64_t offset = 0;   // where it starts in its segment file
        std::uint32_t bytes = 0;    // its length there
        bool stored = false;        // on the disk, or taken by the broker before it got there
        bool delivered = false;
        std::unique_ptr<Body> body;  // in memory: not stored yet, or among the newest
    };
    struct Segment {
        std::uint64_t bytes = 0;
        long live = 0;  // records not yet delivered nor dropped
    };
    // A record take() hands out, its payload in memory or to be read.
    struct Wanted {
        std::uint64_t number = 0;
        std::uint64_t segment = 0;
        std::uint64_t offset = 0;
        std::uint32_t bytes = 0;
        std::unique_ptr<Body> body;
        bool retry = false;  // not read for a passing reason (no descriptor free)
    };

    // Reads one segment of an earlier run; its records are numbered from `number`.
    void readBack(std::uint64_t segment, const std::filesystem::path& path, std::deque<Entry>& into,
                  std::map<std::uint64_t, Segment>& segments, std::uint64_t& number,
                  long& damaged) const;
    // Reads the records of one segment that `wanted` names, from `first` to `last`; those it
    // cannot read keep no body.
    void readFromDisk(std::vector<Wanted>& wanted, std::size_t first, std::size_t last);
    // Where the records the broker took end on disk: a restart reads back only what follows.
    void saveConfirmed();
    bool startSegment(std::string& error);
    void settleFront();
    void forget(std::uint64_t segment);
    bool writeUnwritten(std::string& error);
    void makeRoom();
    void dropFront(std::size_t count);
    void markDelivered(Entry& entry);
    void releaseBody(Entry& entry);
    Entry* find(std::uint64_t number);
    static std::uint32_t recordBytes(const Body& body);
    std::uint64_t diskBytes() const;

    std::filesystem::path folder_;
    std::uint64_t maxBytes_;
    std::uint64_t segmentBytes_;
    mutable std::mutex mutex_;
    int lockFd_ = -1;
    std::string owner_;
    int fd_ = -1;  // the current segment
    bool syncing_ = false;
    std::vector<int> toSync_;  // segments written since the last sync, closed after it
    int confirmedFd_ = -1;
    // Everything on disk before this segment, and before this offset in it, the broker took.
    std::pair<std::uint64_t, std::uint64_t> confirmed_{0, 0};
    std::vector<std::pair<std::uint64_t, std::filesystem::path>> earlier_;  // to read back
    bool recovering_ = false;
    std::uint64_t current_ = 0;
    std::map<std::uint64_t, Segment> segments_;
    std::deque<Entry> entries_;
    std::uint64_t nextNumber_ = 1;
    std::size_t cursor_ = 0;  // the first entry not yet handed out
    std::size_t undelivered_ = 0;
    std::size_t unwritten_ = 0;
    std::uint64_t unwrittenBytes_ = 0;
    std::uint64_t heldBytes_ = 0;  // bodies of stored records
    long dropped_ = 0;
    long damaged_ = 0;
    long recovered_ = 0;
    long setAside_ = 0;
    // take()'s thread alone.
    int readFd_ = -1;
    std::uint64_t readSegment_ = 0;
};

// Where a listener keeps its state: $STATE_DIRECTORY (a service's), else $XDG_STATE_HOME/nira7,
// else ~/.local/state/nira7.
std::filesystem::path stateFolder();

}  // namespace nira::listen
