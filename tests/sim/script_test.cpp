// The simulator's script: what each line makes it send, and a clear error for a bad line.
#include <gtest/gtest.h>

#include "script.hpp"

namespace nira::sim {
namespace {

TEST(Script, EachActionBecomesItsStep) {
    const auto steps = parseScript(
        "# a receiver session\n"
        "test 01 fF\r\n"
        "\tevent 00 0a ff 1 2 3 4 5 6   # trailing comment\n"
        "\n"
        "raw 41*3 42\n"
        "wait 250\n"
        "expect-ack\n"
        "expect-ack 50\n"
        "wait-open\n"
        "drain\n"
        "drain 300\n",
        "s.txt");
    ASSERT_EQ(steps.size(), 9U);
    EXPECT_EQ(steps[0].kind, StepKind::Test);
    EXPECT_EQ(steps[0].bytes, (std::vector<std::uint8_t>{'>', 0x01, 0xFF}));
    EXPECT_EQ(steps[0].line, 2);
    EXPECT_EQ(steps[1].kind, StepKind::Event);
    EXPECT_EQ(steps[1].bytes, (std::vector<std::uint8_t>{'>', 0x00, 0x0A, 0xFF, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(steps[2].kind, StepKind::Raw);
    EXPECT_EQ(steps[2].bytes, (std::vector<std::uint8_t>{0x41, 0x41, 0x41, 0x42}));
    EXPECT_EQ(steps[3].kind, StepKind::Wait);
    EXPECT_EQ(steps[3].milliseconds, 250);
    EXPECT_EQ(steps[4].kind, StepKind::ExpectAck);
    EXPECT_EQ(steps[4].milliseconds, kDefaultAckLimitMs);
    EXPECT_EQ(steps[5].milliseconds, 50);
    EXPECT_EQ(steps[6].kind, StepKind::WaitOpen);
    EXPECT_EQ(steps[6].milliseconds, kDefaultOpenLimitMs);
    EXPECT_EQ(steps[7].kind, StepKind::Drain);
    EXPECT_EQ(steps[7].milliseconds, kDefaultDrainLimitMs);
    EXPECT_EQ(steps[8].milliseconds, 300);
}

TEST(Script, BadLinesAreNamedWithFileAndLine) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"test 01", "s.txt:2: 'test' takes 2 hex bytes, got 1"},
        {"event 1 2 3 4 5 6 7 8 9 10", "s.txt:2: 'event' takes 9 hex bytes, got 10"},
        {"test 01 XY", "s.txt:2: 'XY' is not a hex byte (one or two digits 0-9, A-F)"},
        {"test 01 100", "s.txt:2: '100' is not a hex byte (one or two digits 0-9, A-F)"},
        {"raw", "s.txt:2: 'raw' needs at least one hex byte"},
        {"raw 41*0", "s.txt:2: '41*0': a repeat count after '*' must be 1 to 1000000"},
        {"raw 41*x", "s.txt:2: '41*x': a repeat count after '*' must be 1 to 1000000"},
        {"wait", "s.txt:2: 'wait' takes one time in milliseconds"},
        {"wait -5", "s.txt:2: '-5' is not a time in milliseconds (0 to 3600000)"},
        {"wait 1e3", "s.txt:2: '1e3' is not a time in milliseconds (0 to 3600000)"},
        {"expect-ack 1 2", "s.txt:2: 'expect-ack' takes at most a time limit in milliseconds"},
        {"send 01",
         "s.txt:2: unknown action 'send'; expected test, event, raw, wait, expect-ack, "
         "wait-open or drain"},
        {"\x01\xFF\xFE",
         "s.txt:2: unknown action '\x01\xFF\xFE'; expected test, event, raw, "
         "wait, expect-ack, wait-open or drain"},
        {"drain 1 2", "s.txt:2: 'drain' takes at most a time limit in milliseconds"},
        {"wait-open 1 2", "s.txt:2: 'wait-open' takes at most a time limit in milliseconds"},
    };
    for (const auto& c : cases) {
        try {
            parseScript(std::string("wait 1\n") + c.line + "\nwait 1\n", "s.txt");
            ADD_FAILURE() << c.line << ": accepted";
        } catch (const ScriptError& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST(Script, AcknowledgementsOwedFollowTheAnalysersReads) {
    const auto bytes = [](std::string_view text) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    const struct {
        std::vector<std::string> arrivals;
        std::vector<int> owed;
        std::size_t unreadAfter;
    } cases[] = {
        {{"ABC", "0123456789", ">12"}, {1, 1, 1}, 0},
        {{"ABCD", ">", std::string(20, '>')}, {0, 0, 0}, 0},
        // Beyond 400 the rest waits for the next arrival and leads its chunk.
        {{std::string(400, 'A') + "AB", "C"}, {0, 1}, 0},
        {{std::string(401, 'A') + ">12", ">12"}, {0, 0}, 0},
        {{std::string(1000, 'A')}, {0}, 600},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> unread;
        for (std::size_t i = 0; i < c.arrivals.size(); ++i) {
            EXPECT_EQ(acknowledgementsOwed(unread, bytes(c.arrivals[i])), c.owed[i])
                << c.arrivals[i].substr(0, 12) << " at " << i;
        }
        EXPECT_EQ(unread.size(), c.unreadAfter);
    }
}

TEST(Script, EachAcknowledgementIsPairedWithTheMessageItAnswers) {
    using std::chrono::milliseconds;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const auto at = [&](int ms) { return t0 + milliseconds(ms); };
    // Messages go out in 1 ms; the analyser answers 41 ms after a message's first byte, and
    // not at all when two came within its 40 ms wait.
    const struct {
        const char* name;
        std::vector<int> sent;  // first byte of each owed message, ms
        std::vector<int> acks;  // when each "<" came, ms
        std::vector<int> delays;
        int missed;
        std::size_t stillOwed;
    } cases[] = {
        {"no loss", {0, 45, 90, 135}, {41, 86, 131, 176}, {40, 40, 40, 40}, 0, 0},
        {"one merge in the middle",
         {0, 45, 90, 95, 140, 185},
         {41, 86, 181, 226},
         {40, 40, 40, 40},
         2,
         0},
        {"the last message lost", {0, 45, 90}, {41, 86}, {40, 40}, 0, 1},
        {"two quick messages merged", {0, 5, 50}, {91}, {40}, 2, 0},
        {"a late answer before the next is due", {0, 100}, {70, 141}, {69, 40}, 0, 0},
        {"an analyser that does not wait", {0, 45}, {2, 47}, {1, 1}, 0, 0},
        {"an answer nobody was owed", {0}, {41, 60}, {40}, 0, 0},
    };
    for (const auto& c : cases) {
        std::deque<OwedAck> owed;
        for (const int ms : c.sent) {
            owed.push_back({at(ms), at(ms + 1)});
        }
        std::vector<int> delays;
        int missed = 0;
        for (const int ms : c.acks) {
            const AckMatch match = matchAcknowledgement(owed, at(ms), milliseconds(40));
            missed += match.missed;
            if (match.delay) {
                delays.push_back(static_cast<int>(
                    std::chrono::duration_cast<milliseconds>(*match.delay).count()));
            }
        }
        EXPECT_EQ(delays, c.delays) << c.name;
        EXPECT_EQ(missed, c.missed) << c.name;
        EXPECT_EQ(owed.size(), c.stillOwed) << c.name;
    }
}

}  // namespace
}  // namespace nira::sim
