#include "script.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <sstream>

#include "receiver/message.hpp"

namespace nira::sim {

namespace {

std::vector<std::string_view> tokens(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            out.push_back(line.substr(start, i - start));
        }
    }
    return out;
}

template <typename T>
bool parseNumber(std::string_view text, T& value, int base = 10) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// One line of a script being read: its words, and what its verbs make of them.
class Line {
  public:
    Line(std::vector<std::string_view> words, const std::string& fileName, int number)
        : words_(std::move(words)), fileName_(fileName), number_(number) {}

    std::string_view verb() const { return words_[0]; }
    std::size_t arguments() const { return words_.size() - 1; }

    [[noreturn]] void fail(const std::string& why) const {
        std::ostringstream message;
        message << fileName_ << ":" << number_ << ": " << why;
        throw ScriptError(message.str());
    }

    // The hex bytes from the first argument on; XX*N repeats a byte N times.
    std::vector<std::uint8_t> hexBytes() const {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 1; i < words_.size(); ++i) {
            std::string_view word = words_[i];
            unsigned repeat = 1;
            if (const std::size_t star = word.find('*'); star != std::string_view::npos) {
                if (!parseNumber(word.substr(star + 1), repeat) || repeat == 0 ||
                    repeat > 1'000'000) {
                    fail("'" + std::string(word) +
                         "': a repeat count after '*' must be 1 to 1000000");
                }
                word = word.substr(0, star);
            }
            unsigned value = 0;
            if (word.empty() || word.size() > 2 || !parseNumber(word, value, 16)) {
                fail("'" + std::string(words_[i]) +
                     "' is not a hex byte (one or two digits 0-9, A-F)");
            }
            bytes.insert(bytes.end(), repeat, static_cast<std::uint8_t>(value));
        }
        return bytes;
    }

    // A receiver message: the lead-in and exactly `count` bytes.
    void message(Step& step, StepKind kind, std::size_t count) const {
        const auto body = hexBytes();
        if (body.size() != count) {
            fail("'" + std::string(verb()) + "' takes " + std::to_string(count) +
                 " hex bytes, got " + std::to_string(body.size()));
        }
        step.kind = kind;
        step.bytes.push_back(static_cast<std::uint8_t>(receiver::kLeadIn));
        step.bytes.insert(step.bytes.end(), body.begin(), body.end());
    }

    int milliseconds(std::string_view word) const {
        int ms = 0;
        if (!parseNumber(word, ms) || ms < 0 || ms > 3'600'000) {
            fail("'" + std::string(word) + "' is not a time in milliseconds (0 to 3600000)");
        }
        return ms;
    }

    // A step waiting at most an optional time limit, `fallback` when none is given.
    void limited(Step& step, StepKind kind, int fallback) const {
        if (arguments() > 1) {
            fail("'" + std::string(verb()) + "' takes at most a time limit in milliseconds");
        }
        step.kind = kind;
        step.milliseconds = arguments() == 1 ? milliseconds(words_[1]) : fallback;
    }

  private:
    std::vector<std::string_view> words_;
    const std::string& fileName_;
    int number_;
};

struct Verb {
    const char* name;
    void (*read)(const Line& line, Step& step);
};

constexpr Verb kVerbs[] = {
    {"test", [](const Line& line, Step& step) { line.message(step, StepKind::Test, 2); }},
    {"event", [](const Line& line, Step& step) { line.message(step, StepKind::Event, 9); }},
    {"raw",
     [](const Line& line, Step& step) {
         step.kind = StepKind::Raw;
         step.bytes = line.hexBytes();
         if (step.bytes.empty()) {
             line.fail("'raw' needs at least one hex byte");
         }
     }},
    {"wait",
     [](const Line& line, Step& step) {
         if (line.arguments() != 1) {
             line.fail("'wait' takes one time in milliseconds");
         }
         line.limited(step, StepKind::Wait, 0);
     }},
    {"expect-ack", [](const Line& line,
                      Step& step) { line.limited(step, StepKind::ExpectAck, kDefaultAckLimitMs); }},
    {"wait-open", [](const Line& line,
                     Step& step) { line.limited(step, StepKind::WaitOpen, kDefaultOpenLimitMs); }},
    {"drain", [](const Line& line,
                 Step& step) { line.limited(step, StepKind::Drain, kDefaultDrainLimitMs); }},
};

std::string verbList() {
    std::string list;
    const std::size_t count = std::size(kVerbs);
    for (std::size_t i = 0; i < count; ++i) {
        list += i == 0 ? "" : (i + 1 == count ? " or " : ", ");
        list += kVerbs[i].name;
    }
    return list;
}

}  // namespace

std::vector<Step> parseScript(std::string_view text, const std::string& fileName) {
    std::vector<Step> steps;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t eol = text.find('\n');
        std::string_view content = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (const std::size_t hash = content.find('#'); hash != std::string_view::npos) {
            content = content.substr(0, hash);
        }
        if (content.ends_with('\r')) {
            content.remove_suffix(1);
        }
        auto words = tokens(content);
        if (words.empty()) {
            continue;
        }
        const Line line(std::move(words), fileName, lineNumber);
        const auto* verb = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                        [&](const Verb& v) { return line.verb() == v.name; });
        if (verb == std::end(kVerbs)) {
            line.fail("unknown action '" + std::string(line.verb()) + "'; expected " + verbList());
        }
        Step step;
        step.line = lineNumber;
        verb->read(line, step);
        steps.push_back(std::move(step));
    }
    return steps;
}

int acknowledgementsOwed(std::vector<std::uint8_t>& unread,
                         const std::vector<std::uint8_t>& bytes) {
    unread.insert(unread.end(), bytes.begin(), bytes.end());
    const std::size_t size = std::min<std::size_t>(receiver::kMaxChunk, unread.size());
    const std::string chunk(reinterpret_cast<const char*>(unread.data()), size);
    unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(size));
    return receiver::isAcknowledged(receiver::classifyChunk(chunk).kind) ? 1 : 0;
}

AckMatch matchAcknowledgement(std::deque<OwedAck>& owed, std::chrono::steady_clock::time_point at,
                              std::chrono::steady_clock::duration wait) {
    AckMatch match;
    if (owed.empty()) {
        return match;
    }
    auto answered = owed.begin();
    for (auto it = owed.begin(); it != owed.end() && it->first + wait <= at; ++it) {
        // Messages that went out together share a time; the first of them is answered first.
        if (it->first != answered->first) {
            answered = it;
        }
    }
    match.missed = static_cast<int>(answered - owed.begin());
    match.delay = at - answered->last;
    owed.erase(owed.begin(), answered + 1);
    return match;
}

}  // namespace nira::sim
