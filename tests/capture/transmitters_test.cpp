// The transmitter table: messages and repeats from sequences of frames, test messages apart,
// the supervision interval, the list's rows, and the walk test with its report.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "capture/transmitters.hpp"

namespace nira::capture {
namespace {

using namespace std::chrono_literals;
using receiver::EventBody;

const TimePoint kStart = TimePoint{} + std::chrono::hours(24 * 20000);

EventBody event(TransmitterId id, std::uint8_t dt = 0x20, std::uint8_t st = 0x01) {
    return {st,
            static_cast<std::uint8_t>(id >> 16),
            static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id),
            dt,
            0x00,
            0x12,
            0x34,
            0x56};
}

struct Frame {
    std::chrono::milliseconds at;
    std::optional<EventBody> body;  // none: a test message
};

struct Row {
    TransmitterId id;
    std::uint64_t messages;
    std::uint64_t repeats;
    std::chrono::milliseconds first;
    std::chrono::milliseconds last;
    std::uint8_t lastDt;
};

struct Sequence {
    const char* what;
    std::vector<Frame> frames;
    std::vector<Row> rows;  // in the order first heard
    std::uint64_t tests;
};

TEST(TransmitterTable, SequencesGiveTheirTables) {
    constexpr TransmitterId a = 0x1A2B3C;
    constexpr TransmitterId b = 0x00FF00;
    const std::vector<Sequence> cases{
        {"one frame", {{0ms, event(a)}}, {{a, 1, 0, 0ms, 0ms, 0x20}}, 0},
        {"the same bytes within 2 s are a repeat",
         {{0ms, event(a)}, {1500ms, event(a)}},
         {{a, 1, 1, 0ms, 1500ms, 0x20}},
         0},
        {"exactly 2 s later is still a repeat",
         {{0ms, event(a)}, {2000ms, event(a)}},
         {{a, 1, 1, 0ms, 2000ms, 0x20}},
         0},
        {"after 2 s it is a new message",
         {{0ms, event(a)}, {2001ms, event(a)}},
         {{a, 2, 0, 0ms, 2001ms, 0x20}},
         0},
        {"a burst is measured from its last frame",
         {{0ms, event(a)}, {1500ms, event(a)}, {3000ms, event(a)}, {5500ms, event(a)}},
         {{a, 2, 2, 0ms, 5500ms, 0x20}},
         0},
        {"the same ID with other data is a message",
         {{0ms, event(a, 0x20)}, {300ms, event(a, 0x21)}, {600ms, event(a, 0x20)}},
         {{a, 3, 0, 0ms, 600ms, 0x20}},
         0},
        {"another transmitter between two frames leaves the repeat",
         {{0ms, event(a)}, {100ms, event(b)}, {200ms, event(a)}, {300ms, event(b)}},
         {{a, 1, 1, 0ms, 200ms, 0x20}, {b, 1, 1, 100ms, 300ms, 0x20}},
         0},
        {"test messages are counted apart",
         {{0ms, std::nullopt}, {100ms, event(b, 0x40)}, {200ms, std::nullopt}},
         {{b, 1, 0, 100ms, 100ms, 0x40}},
         2},
        {"a frame the clock puts earlier is no repeat and leaves the last time",
         {{5000ms, event(a)}, {1000ms, event(a)}},
         {{a, 2, 0, 5000ms, 5000ms, 0x20}},
         0},
    };
    for (const Sequence& sequence : cases) {
        SCOPED_TRACE(sequence.what);
        TransmitterTable table;
        for (const Frame& frame : sequence.frames) {
            if (frame.body) {
                table.onEvent(*frame.body, kStart + frame.at);
            } else {
                table.onTest();
            }
        }
        ASSERT_EQ(table.rows().size(), sequence.rows.size());
        for (std::size_t i = 0; i < sequence.rows.size(); ++i) {
            const Transmitter& got = table.rows()[i];
            const Row& want = sequence.rows[i];
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.messages, want.messages);
            EXPECT_EQ(got.repeats, want.repeats);
            EXPECT_EQ(got.firstHeard, kStart + want.first);
            EXPECT_EQ(got.lastHeard, kStart + want.last);
            EXPECT_EQ(got.last[4], want.lastDt);
        }
        EXPECT_EQ(table.testMessages(), sequence.tests);
    }
}

TEST(TransmitterTable, TellsWhereARowWentAndWhetherItIsNew) {
    TransmitterTable table;
    auto first = table.onEvent(event(0x000001), kStart);
    auto second = table.onEvent(event(0x000002), kStart + 10ms);
    auto again = table.onEvent(event(0x000001), kStart + 20ms);
    EXPECT_TRUE(first.added);
    EXPECT_EQ(second.row, 1U);
    EXPECT_FALSE(again.added);
    EXPECT_EQ(again.row, 0U);
    EXPECT_TRUE(again.repeat);
    EXPECT_EQ(table.rowOf(0x000002), 1U);
    EXPECT_FALSE(table.rowOf(0x000003));
}

TEST(TransmitterTable, MissingAfterTheSupervisionIntervalAndHealedByTheNextMessage) {
    TransmitterTable table;
    table.applyList({{0x111111, "Front door"}, {0x222222, "Garage"}});
    table.onEvent(event(0x111111), kStart);
    const Transmitter& door = table.rows()[0];
    const Transmitter& garage = table.rows()[1];
    // Off by default: never missing.
    EXPECT_EQ(table.state(door, kStart + 100h), TransmitterState::Heard);
    EXPECT_EQ(table.state(garage, kStart), TransmitterState::NotHeard);
    table.setMissingAfter(60s);
    EXPECT_EQ(table.state(door, kStart + 60s), TransmitterState::Heard);
    EXPECT_EQ(table.state(door, kStart + 61s), TransmitterState::Missing);
    // A repeat is hearing it too.
    table.onEvent(event(0x111111), kStart + 1s);
    EXPECT_EQ(table.state(table.rows()[0], kStart + 61s), TransmitterState::Heard);
    table.onEvent(event(0x111111, 0x30), kStart + 200s);
    EXPECT_EQ(table.state(table.rows()[0], kStart + 201s), TransmitterState::Heard);
    EXPECT_STREQ(stateText(TransmitterState::Missing), "missing");
}

TEST(TransmitterTable, AListNamesRowsAndANewListDropsOnlyTheNeverHeard) {
    TransmitterTable table;
    table.onEvent(event(0x000001), kStart);
    table.applyList({{0x000002, "Kitchen"}, {0x000001, "Hall"}});
    ASSERT_EQ(table.rows().size(), 2U);
    EXPECT_EQ(table.rows()[0].name, "Hall");
    EXPECT_TRUE(table.rows()[1].listed);
    EXPECT_EQ(table.rows()[1].messages, 0U);

    table.applyList({{0x000003, "Loft"}});
    ASSERT_EQ(table.rows().size(), 2U);  // Kitchen, never heard, went
    EXPECT_EQ(table.rows()[0].id, 0x000001U);
    EXPECT_FALSE(table.rows()[0].listed);
    EXPECT_EQ(table.rows()[0].messages, 1U);
    EXPECT_EQ(table.rowOf(0x000003), 1U);
    EXPECT_FALSE(table.rowOf(0x000002));

    // Naming a heard transmitter puts it on the list.
    table.setName(0, "Hall again");
    const std::vector<ListEntry> saved = table.listEntries();
    ASSERT_EQ(saved.size(), 2U);
    EXPECT_EQ(saved[0].id, 0x000001U);
    EXPECT_EQ(saved[0].name, "Hall again");
    EXPECT_EQ(saved[1].name, "Loft");
}

// "dddd-dd-ddTdd:dd:dd+dd:dd", d a digit.
bool isoShaped(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd+dd:dd";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        const bool sign = text[i] == '+' || text[i] == '-';
        if (shape[i] == 'd' ? !digit : (shape[i] == '+' ? !sign : text[i] != shape[i])) {
            return false;
        }
    }
    return true;
}

// The report's times in UTC, whatever the machine's zone.
void utcClock() {
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC0", 1);
    tzset();
#endif
}

TEST(WalkTest, CountsTheExpectedHeardAndReportsTheUnheardFirst) {
    utcClock();
    TransmitterTable table;
    table.applyList({{0xAAAAAA, "Door, back"}, {0xBBBBBB, "PIR"}, {0xCCCCCC, "Remote"}});
    table.onEvent(event(0xBBBBBB), kStart - 1h);  // before the test: a total, not the test's
    table.startWalk(kStart, std::nullopt);
    EXPECT_EQ(table.walk().expected, 3U);
    table.onEvent(event(0xCCCCCC), kStart + 10s);
    table.onEvent(event(0xCCCCCC), kStart + 11s);  // a repeat
    table.onEvent(event(0xAAAAAA, 0x40), kStart + 20s);
    table.onEvent(event(0xAAAAAA, 0x41), kStart + 30s);
    table.onEvent(event(0xDDDDDD), kStart + 40s);  // a neighbour's
    table.onTest();
    EXPECT_EQ(table.walk().heard, 2U);
    EXPECT_TRUE(table.walk().running());
    table.stopWalk(kStart + 60s);
    table.onEvent(event(0xBBBBBB, 0x50), kStart + 70s);  // after the end
    EXPECT_EQ(table.walk().heard, 2U);

    const std::string start = isoLocalTime(kStart);
    ASSERT_TRUE(isoShaped(start) && start.substr(10) == "T00:00:00+00:00") << start;
    const std::string day = start.substr(0, 11);
    EXPECT_EQ(table.walkReportCsv(),
              "id,smart,name,walk_test,walk_first_heard,walk_messages,messages,repeats,"
              "first_heard,last_heard,st,dt,d1,xxxx,cs\r\n"
              "BBBBBB,FLFLFLFLFLFL,PIR,not heard,,0,2,0," +
                  isoLocalTime(kStart - 1h) + "," + day + "00:01:10+00:00,01,50,00,1234,56\r\n" +
                  "CCCCCC,LHLHLHLHLHLH,Remote,heard," + day + "00:00:10+00:00,1,1,1," + day +
                  "00:00:10+00:00," + day + "00:00:11+00:00,01,20,00,1234,56\r\n" +
                  "AAAAAA,FFFFFFFFFFFF,\"Door, back\",heard," + day + "00:00:20+00:00,2,2,0," +
                  day + "00:00:20+00:00," + day + "00:00:30+00:00,01,41,00,1234,56\r\n" +
                  "DDDDDD,LDLDLDLDLDLD,,not expected," + day + "00:00:40+00:00,1,1,0," + day +
                  "00:00:40+00:00," + day + "00:00:40+00:00,01,20,00,1234,56\r\n");
    EXPECT_EQ(table.walkSummary(kStart + 90s),
              "Walk test from " + day.substr(0, 10) +
                  " 00:00:00 to 00:01:00, 1 min 0 s, stopped by the operator.\n"
                  "2 of 3 expected transmitters heard.\n"
                  "Not heard (1):\n"
                  "  BBBBBB  FLFLFLFLFLFL  PIR\n"
                  "Heard (2):\n"
                  "  CCCCCC  LHLHLHLHLHLH  Remote  first at 00:00:10, 1 message\n"
                  "  AAAAAA  FFFFFFFFFFFF  Door, back  first at 00:00:20, 2 messages\n"
                  "Also heard, not expected (1):\n"
                  "  DDDDDD  LDLDLDLDLDLD  first at 00:00:40, 1 message\n"
                  "Test messages from the receiver since start: 1.\n");
}

TEST(WalkTest, EndsAtItsLimitAndASecondStartsAfresh) {
    TransmitterTable table;
    table.onEvent(event(0x000001), kStart - 1min);
    table.onEvent(event(0x000002), kStart - 1min);
    // Nothing listed: every row is expected.
    table.startWalk(kStart, 60s);
    EXPECT_EQ(table.walk().expected, 2U);
    table.onEvent(event(0x000001, 0x30), kStart + 30s);
    EXPECT_FALSE(table.endWalkIfDue(kStart + 59s));
    // A message after the limit ends the test before it is counted.
    table.onEvent(event(0x000002, 0x30), kStart + 61s);
    EXPECT_FALSE(table.walk().running());
    EXPECT_EQ(table.walk().end, WalkEnd::TimeUp);
    EXPECT_EQ(table.walk().to, kStart + 60s);
    EXPECT_EQ(table.walk().heard, 1U);
    EXPECT_NE(table.walkSummary(kStart + 2min).find("ended at its time limit"), std::string::npos);

    table.startWalk(kStart + 5min, 30s);
    EXPECT_EQ(table.walk().heard, 0U);
    EXPECT_EQ(table.rows()[0].walkMessages, 0U);
    EXPECT_EQ(table.rows()[0].messages, 2U);  // the totals go on
    EXPECT_FALSE(table.endWalkIfDue(kStart + 5min + 29s));
    EXPECT_TRUE(table.endWalkIfDue(kStart + 5min + 30s));
    EXPECT_FALSE(table.endWalkIfDue(kStart + 5min + 31s));  // told once
}

TEST(TransmitterIds, TextSmartLettersAndParsing) {
    EXPECT_EQ(idText(0x0A0B0C), "0A0B0C");
    EXPECT_EQ(smartLetters(0x000000), "HHHHHHHHHHHH");
    EXPECT_EQ(smartLetters(0xFFFFFF), "LLLLLLLLLLLL");
    // A0 is the first byte's high pair: 10 F, 01 D.
    EXPECT_EQ(smartLetters(0x900000), "FDHHHHHHHHHH");
    const struct {
        const char* text;
        std::optional<TransmitterId> id;
    } cases[]{
        {"1a2B3c", 0x1A2B3C},           {" 1A2B3C ", 0x1A2B3C},  {"FDHHHHHHHHHH", 0x900000},
        {"fdhhhhhhhhhh", 0x900000},     {"1A2B3", std::nullopt}, {"1A2B3G", std::nullopt},
        {"FDHHHHHHHHHX", std::nullopt}, {"", std::nullopt},      {"0x1A2B3C", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseTransmitterId(c.text), c.id) << c.text;
    }
    // Every ID's letters read back as it.
    for (const TransmitterId id : {0x000000U, 0x123456U, 0xFEDCBAU, 0xFFFFFFU}) {
        EXPECT_EQ(parseTransmitterId(smartLetters(id)), id);
        EXPECT_EQ(parseTransmitterId(idText(id)), id);
    }
    EXPECT_EQ(spanText(3725s), "1 h 2 min");
    EXPECT_EQ(spanText(65s), "1 min 5 s");
    EXPECT_EQ(spanText(-3s), "0 s");
}

}  // namespace
}  // namespace nira::capture
