#pragma once
// What the virtual receiver does, step by step, and the script file that says so.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nira::sim {

enum class StepKind { Test, Event, Raw, Wait, ExpectAck, WaitOpen, Drain };

struct Step {
    StepKind kind = StepKind::Wait;
    std::vector<std::uint8_t> bytes;  // on the wire, the lead-in included
    int milliseconds = 0;             // wait; time limit of expect-ack
    int line = 0;                     // in the script, for messages
};

// Thrown for a line the script parser does not understand; the text names the file and line.
class ScriptError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr int kDefaultAckLimitMs = 2000;
inline constexpr int kDefaultOpenLimitMs = 10000;
inline constexpr int kDefaultDrainLimitMs = 5000;

// One action per line:
//   test XX XX            a test message: ">" and two bytes
//   event XX ×9           an event message: ">" and nine bytes
//   raw XX …              bytes as they are; XX*N repeats a byte N times
//   wait MS               a pause
//   expect-ack [MS]       wait until every message so far is acknowledged (default 2000 ms)
//   wait-open [MS]        wait until an analyser holds the port open (default 10000 ms)
//   drain [MS]            wait until the analyser has read everything sent and answered what it
//                         owes, so the next bytes arrive on their own (default 5000 ms)
//   # …                   a comment, also after an action
std::vector<Step> parseScript(std::string_view text, const std::string& fileName);

// How many "<" an analyser owes for bytes that arrive together, read as it reads them: one
// chunk of at most 400 characters per arrival, led by what an earlier read left in the port
// (`unread`, updated here).
int acknowledgementsOwed(std::vector<std::uint8_t>& unread, const std::vector<std::uint8_t>& bytes);

// A message owed a "<": when its first byte went out (the analyser's wait begins after that) and
// when its last did (its acknowledgement time runs from there).
struct OwedAck {
    std::chrono::steady_clock::time_point first;
    std::chrono::steady_clock::time_point last;
};

struct AckMatch {
    std::optional<std::chrono::steady_clock::duration> delay;  // none: no message was owed
    int missed = 0;  // owed messages skipped over: never to be answered
};

// Pairs a "<" that came at `at` with the message it answers, taken out of `owed` (oldest first).
// The analyser reads all that came during its wait and answers a chunk after reading it, so a
// "<" answers the newest message that began at least `wait` before it; older ones still owed
// were read with another and will not be answered. Where none began that long before (an
// analyser that does not wait), the oldest is taken.
AckMatch matchAcknowledgement(std::deque<OwedAck>& owed, std::chrono::steady_clock::time_point at,
                              std::chrono::steady_clock::duration wait);

}  // namespace nira::sim
