#include "script.hpp"

#include <charconv>
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

}  // namespace

std::vector<Step> parseScript(std::string_view text, const std::string& fileName) {
    std::vector<Step> steps;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const auto words = tokens(line);
        if (words.empty()) {
            continue;
        }
        const auto fail = [&](const std::string& why) {
            std::ostringstream message;
            message << fileName << ":" << lineNumber << ": " << why;
            throw ScriptError(message.str());
        };
        const std::string_view verb = words[0];
        Step step;
        step.line = lineNumber;
        const auto hexBytes = [&](std::size_t from) {
            std::vector<std::uint8_t> bytes;
            for (std::size_t i = from; i < words.size(); ++i) {
                std::string_view word = words[i];
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
                    fail("'" + std::string(words[i]) +
                         "' is not a hex byte (one or two digits 0-9, A-F)");
                }
                bytes.insert(bytes.end(), repeat, static_cast<std::uint8_t>(value));
            }
            return bytes;
        };
        const auto message = [&](StepKind kind, std::size_t count) {
            auto body = hexBytes(1);
            if (body.size() != count) {
                fail("'" + std::string(verb) + "' takes " + std::to_string(count) +
                     " hex bytes, got " + std::to_string(body.size()));
            }
            step.kind = kind;
            step.bytes.push_back(static_cast<std::uint8_t>(receiver::kLeadIn));
            step.bytes.insert(step.bytes.end(), body.begin(), body.end());
        };
        const auto milliseconds = [&](std::string_view word) {
            int ms = 0;
            if (!parseNumber(word, ms) || ms < 0 || ms > 3'600'000) {
                fail("'" + std::string(word) + "' is not a time in milliseconds (0 to 3600000)");
            }
            return ms;
        };
        if (verb == "test") {
            message(StepKind::Test, 2);
        } else if (verb == "event") {
            message(StepKind::Event, 9);
        } else if (verb == "raw") {
            step.kind = StepKind::Raw;
            step.bytes = hexBytes(1);
            if (step.bytes.empty()) {
                fail("'raw' needs at least one hex byte");
            }
        } else if (verb == "wait") {
            if (words.size() != 2) {
                fail("'wait' takes one time in milliseconds");
            }
            step.kind = StepKind::Wait;
            step.milliseconds = milliseconds(words[1]);
        } else if (verb == "expect-ack") {
            if (words.size() > 2) {
                fail("'expect-ack' takes at most a time limit in milliseconds");
            }
            step.kind = StepKind::ExpectAck;
            step.milliseconds = words.size() == 2 ? milliseconds(words[1]) : kDefaultAckLimitMs;
        } else if (verb == "wait-open") {
            if (words.size() > 2) {
                fail("'wait-open' takes at most a time limit in milliseconds");
            }
            step.kind = StepKind::WaitOpen;
            step.milliseconds = words.size() == 2 ? milliseconds(words[1]) : kDefaultOpenLimitMs;
        } else if (verb == "drain") {
            if (words.size() > 2) {
                fail("'drain' takes at most a time limit in milliseconds");
            }
            step.kind = StepKind::Drain;
            step.milliseconds = words.size() == 2 ? milliseconds(words[1]) : kDefaultDrainLimitMs;
        } else {
            fail("unknown action '" + std::string(verb) +
                 "'; expected test, event, raw, wait, expect-ack, wait-open or drain");
        }
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

}  // namespace nira::sim
