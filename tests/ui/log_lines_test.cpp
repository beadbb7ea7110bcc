// The log's line store: splitting text into lines, edits anywhere against a plain list of lines,
// and copies that keep the text they were made from.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ui/log_lines.hpp"

namespace nira::ui {
namespace {

std::vector<std::string> linesOf(const LogLines& text) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < text.lineCount(); ++i) {
        lines.emplace_back(text.line(i));
    }
    return lines;
}

TEST(LogLines, TextSplitsAtEveryKindOfBreakAlsoWhenItComesInPieces) {
    const struct {
        std::string bytes;
        std::vector<std::string> lines;
    } table[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b", ""}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b", ""}},
        {"a\r\n\rb\n\nc", {"a", "", "b", "", "c"}},
        {"\n\r", {"", "", ""}},
        {std::string("x\0y\r\n", 5), {std::string("x\0y", 3), ""}},
    };
    for (const auto& c : table) {
        EXPECT_EQ(linesOf(LogLines::fromText(c.bytes)), c.lines) << c.bytes;
        // Cut in two at every place: a CR LF split between the pieces is still one break.
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            LogLines::Builder builder;
            builder.add(std::string_view(c.bytes).substr(0, cut));
            builder.add(std::string_view(c.bytes).substr(cut));
            EXPECT_EQ(linesOf(std::move(builder).finish()), c.lines) << c.bytes << " cut " << cut;
        }
    }
}

TEST(LogLines, ALongTextKeepsEveryLineAndWritesBackAsCrLf) {
    std::string text;
    std::string crlf;
    for (int i = 0; i < 30000; ++i) {
        const std::string line = "line " + std::to_string(i) + std::string(i % 97, '.');
        text += line + "\n";
        crlf += line + "\r\n";
    }
    const LogLines lines = LogLines::fromText(text);
    ASSERT_EQ(lines.lineCount(), 30001U);
    EXPECT_EQ(lines.line(12345), "line 12345" + std::string(12345 % 97, '.'));
    EXPECT_EQ(lines.text(), crlf);
    std::string written;
    EXPECT_TRUE(lines.write([&](std::string_view piece) {
        written += piece;
        return true;
    }));
    EXPECT_EQ(written, crlf);
    EXPECT_EQ(lines.byteCount(), text.size() - 30000);
}

// Empty lines fill chunks as other lines do: a text of nothing but breaks, around a chunk's
// number of lines, reads, edits and counts right.
TEST(LogLines, ATextOfBareBreaksKeepsEveryLine) {
    for (const std::size_t breaks : {1023U, 1024U, 1025U, 5000U}) {
        LogLines lines = LogLines::fromText(std::string(breaks, '\n'));
        ASSERT_EQ(lines.lineCount(), breaks + 1);
        EXPECT_EQ(lines.characterCount(), breaks);
        EXPECT_EQ(lines.positionAt(breaks / 2), (LogPosition{breaks / 2, 0}));
        EXPECT_EQ(lines.offsetOf(lines.end()), breaks);
        lines.replace({breaks / 2, 0}, {breaks / 2, 0}, {"middle"});
        EXPECT_EQ(lines.line(breaks / 2), "middle");
        std::string expected;
        for (std::size_t i = 0; i < breaks; ++i) {
            expected += i == breaks / 2 ? "middle\r\n" : "\r\n";
        }
        EXPECT_EQ(lines.text(), expected) << breaks;
    }
}

// Random edits, big and small, anywhere, against a plain list of lines.
TEST(LogLines, EditsAnywhereMatchAPlainListOfLines) {
    std::mt19937 random(7);
    const auto pick = [&](std::size_t below) {
        return std::uniform_int_distribution<std::size_t>(0, below - 1)(random);
    };
    std::vector<std::string> model{""};
    LogLines lines;
    for (int step = 0; step < 3000; ++step) {
        // Places to replace between.
        LogPosition from{pick(model.size()), 0};
        from.column = pick(model[from.line].size() + 1);
        LogPosition to = from;
        if (pick(4) == 0) {
            to.line = std::min(model.size() - 1, from.line + pick(3000));
            to.column = pick(model[to.line].size() + 1);
            if (to.line == from.line) {
                to.column = std::max(to.column, from.column);
            }
        }
        // New text: mostly short, now and then thousands of lines.
        std::vector<std::string> added(1 + (pick(10) == 0 ? pick(4000) : pick(3)));
        for (auto& line : added) {
            line = std::string(pick(120), static_cast<char>('a' + pick(26)));
        }
        const bool reversed = pick(2) == 0;
        const LogPosition end =
            reversed ? lines.replace(to, from, added) : lines.replace(from, to, added);

        const std::string head = model[from.line].substr(0, from.column);
        const std::string tail = model[to.line].substr(to.column);
        std::vector<std::string> made = added;
        made.front() = head + made.front();
        const LogPosition expectedEnd{from.line + made.size() - 1, made.back().size()};
        made.back() += tail;
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(from.line),
                    model.begin() + static_cast<std::ptrdiff_t>(to.line + 1));
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(from.line), made.begin(),
                     made.end());
        ASSERT_EQ(end, expectedEnd) << "step " << step;
        ASSERT_EQ(lines.lineCount(), model.size()) << "step " << step;
        if (step % 100 == 0 || model.size() < 50) {
            ASSERT_EQ(linesOf(lines), model) << "step " << step;
            // Character offsets (breaks counted as one) both ways, across chunks.
            std::vector<std::size_t> lineOffsets{0};
            for (const auto& line : model) {
                lineOffsets.push_back(lineOffsets.back() + line.size() + 1);
            }
            ASSERT_EQ(lines.characterCount(), lineOffsets.back() - 1) << "step " << step;
            for (int probe = 0; probe < 50; ++probe) {
                LogPosition at{pick(model.size()), 0};
                at.column = pick(model[at.line].size() + 1);
                const std::size_t offset = lineOffsets[at.line] + at.column;
                ASSERT_EQ(lines.offsetOf(at), offset) << "step " << step;
                ASSERT_EQ(lines.positionAt(offset), at) << "step " << step << " offset " << offset;
            }
            ASSERT_EQ(lines.positionAt(lineOffsets.back() + 5), lines.end());
        }
        // Keep it from growing without end.
        if (model.size() > 20000) {
            lines.replace({0, 0}, {model.size() - 10, 0}, {""});
            model.erase(model.begin(), model.end() - 10);
        }
    }
    EXPECT_EQ(linesOf(lines), model);
    std::size_t bytes = 0;
    for (const auto& line : model) {
        bytes += line.size();
    }
    EXPECT_EQ(lines.byteCount(), bytes);
}

TEST(LogLines, ACopyKeepsTheTextItWasMadeFrom) {
    LogLines lines = LogLines::fromText("one\ntwo\nthree");
    const LogLines copy = lines;
    lines.replace({1, 0}, {1, 3}, {"2"});
    lines.replace(lines.end(), lines.end(), {"", "four"});
    EXPECT_EQ(copy.text(), "one\r\ntwo\r\nthree");
    EXPECT_EQ(lines.text(), "one\r\n2\r\nthree\r\nfour");
    EXPECT_FALSE(copy == lines);
    EXPECT_TRUE(LogLines::fromText("one\r\n2\nthree\rfour") == lines);
    EXPECT_EQ(lines.text({0, 1}, {2, 2}), "ne\r\n2\r\nth");
    lines.clear();
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(copy.lineCount(), 3U);
}

}  // namespace
}  // namespace nira::ui
