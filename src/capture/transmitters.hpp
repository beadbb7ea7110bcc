#pragma once
// Which transmitters the receiver has heard: one row per ID, what each sent last, and the walk
// test an installer proves a site with. No Qt: the window shows it, the listener can keep it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/transmitter_list.hpp"
#include "receiver/message.hpp"

namespace nira::capture {

using WallClock = std::chrono::system_clock;
using TimePoint = WallClock::time_point;

// A transmitter sends each frame several times: the same nine bytes again within this long of
// the last are a repeat, not a new message.
inline constexpr std::chrono::seconds kRepeatWindow{2};

TransmitterId transmitterIdOf(const receiver::EventBody& body);

enum class TransmitterState {
    Heard,
    NotHeard,  // on the list, never heard
    Missing,   // heard, but not for longer than the supervision interval
};
const char* stateText(TransmitterState state);  // "heard", "not heard", "missing"

struct Transmitter {
    TransmitterId id = 0;
    std::string name;
    bool listed = false;  // on the site's list (loaded, or named here)
    std::uint64_t messages = 0;
    std::uint64_t repeats = 0;
    TimePoint firstHeard{};
    TimePoint lastHeard{};  // a repeat too: it was heard
    receiver::EventBody last{};
    // The walk test running or last run.
    bool walkExpected = false;
    std::uint64_t walkMessages = 0;
    TimePoint walkHeard{};

    bool heard() const { return messages > 0; }
};

enum class WalkEnd { Running, Stopped, TimeUp };

struct WalkTest {
    bool started = false;  // one was ever started
    WalkEnd end = WalkEnd::Running;
    TimePoint from{};
    TimePoint to{};  // when it ended
    std::optional<std::chrono::seconds> limit;
    std::size_t expected = 0;
    std::size_t heard = 0;  // of the expected

    bool running() const { return started && end == WalkEnd::Running; }
};

class TransmitterTable {
  public:
    struct Heard {
        std::size_t row = 0;
        bool added = false;   // a new row at the end
        bool repeat = false;  // counted as a repeat, not a message
    };
    // Rows are never reordered: a row's index stays until the list is applied again.
    Heard onEvent(const receiver::EventBody& body, TimePoint at);
    void onTest() { ++testMessages_; }
    std::uint64_t testMessages() const { return testMessages_; }

    const std::vector<Transmitter>& rows() const { return rows_; }
    // Kept as messages come: the window shows them with each one.
    std::size_t listedCount() const { return listed_; }
    std::size_t listedHeard() const { return listedHeard_; }
    std::size_t othersHeard() const { return othersHeard_; }
    std::optional<std::size_t> rowOf(TransmitterId id) const;

    // The site's list: its IDs are listed (rows added for those not heard yet), with its names.
    // Rows no longer listed keep their counts; those never heard and unnamed go.
    void applyList(const std::vector<ListEntry>& entries);
    // What a save of the list writes: the listed rows, in order, with their names.
    std::vector<ListEntry> listEntries() const;
    // A name given here puts the transmitter on the list.
    void setName(std::size_t row, std::string name);

    // Off (nullopt) by default.
    void setMissingAfter(std::optional<std::chrono::seconds> interval) { missingAfter_ = interval; }
    std::optional<std::chrono::seconds> missingAfter() const { return missingAfter_; }
    TransmitterState state(const Transmitter& row, TimePoint now) const;

    // The expected are the listed rows, or every row when none is listed. A second test starts
    // afresh; the table's totals go on.
    void startWalk(TimePoint at, std::optional<std::chrono::seconds> limit);
    void stopWalk(TimePoint at);
    // Ends a test whose time is up; true when it just ended.
    bool endWalkIfDue(TimePoint now);
    const WalkTest& walk() const { return walk_; }

    // The report: one CSV row per expected transmitter (the unheard first) and per one heard
    // during the test though not expected, times in ISO 8601; and a plain-text summary.
    std::string walkReportCsv() const;
    std::string walkSummary(TimePoint now) const;

  private:
    std::vector<Transmitter> rows_;
    std::unordered_map<TransmitterId, std::size_t> index_;
    std::uint64_t testMessages_ = 0;
    std::size_t listed_ = 0;
    std::size_t listedHeard_ = 0;
    std::size_t othersHeard_ = 0;
    std::optional<std::chrono::seconds> missingAfter_;
    WalkTest walk_;
    std::size_t addRow(TransmitterId id);
    void recount();
    std::vector<const Transmitter*> reportOrder() const;
};

// Local time: "2026-12-11T14:30:05+01:00", and "14:30:05".
std::string isoLocalTime(TimePoint at);
std::string clockTime(TimePoint at);
// "11 min 5 s", "2 h 3 min", "40 s".
std::string spanText(std::chrono::seconds span);

}  // namespace nira::capture
