#include "receiver/log_text.hpp"

#include <gtest/gtest.h>

namespace nira::receiver {
namespace {

TEST(LogLine, JoinsStampArrowAndContent) {
    EXPECT_EQ(logLine("10.12.2026 01:02:03", "TEST: 42, CS: 43"),
              "10.12.2026 01:02:03 --> TEST: 42, CS: 43");
}

TEST(AppendLogLine, BreaksGoBeforeOrAfterByHowTheTextEnds) {
    struct Case {
        const char* before;
        const char* after;
    };
    for (const Case& c : {
             Case{"", "L\r\n"},            // empty: line, then break
             Case{"a\r\n", "a\r\nL\r\n"},  // ends with CR LF
             Case{"a\n", "a\nL\r\n"},      // ends with LF alone
             Case{"a\r", "a\rL\r\n"},      // ends with CR alone
             Case{"typed", "typed\r\nL"},  // no break: break first, none after
         }) {
        std::string text = c.before;
        appendLogLine(text, "L");
        EXPECT_EQ(text, c.after) << "before: " << c.before;
        EXPECT_EQ(c.before + appendedPiece(c.before, "L"), c.after);
    }
}

TEST(AppendLogLine, SuccessiveAppendsGiveOneCrLfPerLine) {
    std::string text;
    appendLogLine(text, "one");
    appendLogLine(text, "two");
    EXPECT_EQ(text, "one\r\ntwo\r\n");

    std::string loaded = "last line without break";
    appendLogLine(loaded, "x");
    appendLogLine(loaded, "y");
    EXPECT_EQ(loaded, "last line without break\r\nx\r\ny");
}

}  // namespace
}  // namespace nira::receiver
