#pragma once
// Receiver message recognition and the texts shown for each message.
// Every byte string is valid input; nothing here throws or does I/O.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace nira::receiver {

inline constexpr char kLeadIn = '>';
inline constexpr std::string_view kAcknowledgement = "<";
// The handler asks the port for at most this many bytes per data-arrival event.
inline constexpr int kMaxChunk = 400;
// After a data-arrival event the handler waits this long before it reads, so the rest of a
// message is in (kept as the receiver's protocol was built around it).
inline constexpr std::chrono::milliseconds kArrivalWait{40};

using TestBody = std::array<std::uint8_t, 2>;
using EventBody = std::array<std::uint8_t, 9>;

enum class ChunkKind {
    Unrecognised,  // logged as "???: " + the chunk, error beep
    TestMessage,   // acknowledged, "TEST: " line
    EventMessage,  // acknowledged, decoded and shown
    Dropped,       // recognised but with a body of another length: no trace at all
};

struct Classified {
    ChunkKind kind = ChunkKind::Unrecognised;
    TestBody test{};    // meaningful for TestMessage only
    EventBody event{};  // meaningful for EventMessage only
};

// One chunk is what one read returned. It counts as a receiver message when it is led by ">"
// or is exactly 3 or 10 bytes long; its first byte is then dropped, whatever it is.
Classified classifyChunk(std::string_view chunk);

// Whether a chunk of this kind is answered with the acknowledgement.
constexpr bool isAcknowledged(ChunkKind kind) {
    return kind == ChunkKind::TestMessage || kind == ChunkKind::EventMessage;
}

std::string hexByte(std::uint8_t value);     // "0A"
std::string decimal(std::uint8_t value);     // "10"
std::string bitPattern(std::uint8_t value);  // "0000 1010"

// Tri-state letter of a two-bit code: 00 H, 11 L, 10 F, 01 D.
char triStateLetter(unsigned twoBits);

std::string testLineContent(const TestBody& body);            // "TEST: 42, CS: 43"
std::string unrecognisedLineContent(std::string_view chunk);  // "???: " + chunk, byte for byte

std::string eventFieldLabel(const EventBody& body);
std::string eventLogContent(const EventBody& body);
std::string smartLabel(const EventBody& body);

// The twelve Smart pins of an event in the label's order: name ("A0" … "D0") and tri-state letter.
struct SmartPin {
    const char* name;
    char state;
};
std::array<SmartPin, 12> smartPins(const EventBody& body);

// The texts the window shows before the first event message.
inline constexpr std::string_view kInitialLastEventCaption = "Last event in ??:??:??";
inline constexpr std::string_view kInitialFieldLabel =
    "ST: ??, ID: ??????, DT: ??, D1: ??, XXXX: ????, CS: ??";
inline constexpr std::string_view kInitialSmartLabel =
    "Smart: A0=?, A1=?, A2=?, A3=?, A4=?, A5=?, A6=?, A7=?, D3=?, D2=?, D1=?, D0=?";
inline constexpr std::string_view kLastEventCaptionPrefix = "Last Event in ";

}  // namespace nira::receiver
