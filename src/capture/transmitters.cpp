#include "capture/transmitters.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace nira::capture {

namespace {

// The local calendar time and its offset from UTC in seconds.
std::tm localParts(TimePoint at, long& offset) {
    const std::time_t t = WallClock::to_time_t(at);
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &t);
    std::tm copy = parts;
    offset = static_cast<long>(_mkgmtime(&copy) - t);
#else
    localtime_r(&t, &parts);
    offset = parts.tm_gmtoff;
#endif
    return parts;
}

std::string twoDigits(int value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

std::string dateTime(TimePoint at, char between) {
    long offset = 0;
    const std::tm t = localParts(at, offset);
    return std::to_string(t.tm_year + 1900) + "-" + twoDigits(t.tm_mon + 1) + "-" +
           twoDigits(t.tm_mday) + between + twoDigits(t.tm_hour) + ":" + twoDigits(t.tm_min) + ":" +
           twoDigits(t.tm_sec);
}

// A field for the report: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string count(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

TransmitterId transmitterIdOf(const receiver::EventBody& body) {
    return (TransmitterId{body[1]} << 16U) | (TransmitterId{body[2]} << 8U) | body[3];
}

const char* stateText(TransmitterState state) {
    switch (state) {
        case TransmitterState::Heard:
            return "heard";
        case TransmitterState::NotHeard:
            return "not heard";
        case TransmitterState::Missing:
            return "missing";
    }
    return "";
}

std::size_t TransmitterTable::addRow(TransmitterId id) {
    const std::size_t row = rows_.size();
    rows_.push_back(Transmitter{});
    rows_.back().id = id;
    index_.emplace(id, row);
    return row;
}

std::optional<std::size_t> TransmitterTable::rowOf(TransmitterId id) const {
    const auto found = index_.find(id);
    if (found == index_.end()) {
        return std::nullopt;
    }
    return found->second;
}

TransmitterTable::Heard TransmitterTable::onEvent(const receiver::EventBody& body, TimePoint at) {
    endWalkIfDue(at);
    const TransmitterId id = transmitterIdOf(body);
    Heard heard;
    if (const auto row = rowOf(id)) {
        heard.row = *row;
    } else {
        heard.row = addRow(id);
        heard.added = true;
    }
    Transmitter& t = rows_[heard.row];
    heard.repeat =
        t.heard() && t.last == body && at >= t.lastHeard && at - t.lastHeard <= kRepeatWindow;
    if (heard.repeat) {
        ++t.repeats;
    } else {
        if (!t.heard()) {
            t.firstHeard = at;
            ++(t.listed ? listedHeard_ : othersHeard_);
        }
        ++t.messages;
        t.last = body;
        if (walk_.running()) {
            if (t.walkMessages == 0) {
                t.walkHeard = at;
                walk_.heard += t.walkExpected ? 1 : 0;
            }
            ++t.walkMessages;
        }
    }
    t.lastHeard = std::max(t.lastHeard, at);
    return heard;
}

void TransmitterTable::applyList(const std::vector<ListEntry>& entries) {
    for (Transmitter& t : rows_) {
        t.listed = false;
    }
    for (const ListEntry& entry : entries) {
        const auto row = rowOf(entry.id);
        Transmitter& t = rows_[row ? *row : addRow(entry.id)];
        t.listed = true;
        t.name = entry.name;
    }
    // Rows of an earlier list that were never heard go; the walk test's count follows.
    std::vector<Transmitter> kept;
    kept.reserve(rows_.size());
    for (Transmitter& t : rows_) {
        if (t.listed || t.heard()) {
            kept.push_back(std::move(t));
        }
    }
    rows_ = std::move(kept);
    recount();
    index_.clear();
    walk_.expected = 0;
    walk_.heard = 0;
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        index_.emplace(rows_[row].id, row);
        const Transmitter& t = rows_[row];
        walk_.expected += t.walkExpected ? 1 : 0;
        walk_.heard += t.walkExpected && t.walkMessages > 0 ? 1 : 0;
    }
}

std::vector<ListEntry> TransmitterTable::listEntries() const {
    std::vector<ListEntry> entries;
    for (const Transmitter& t : rows_) {
        if (t.listed) {
            entries.push_back({t.id, t.name});
        }
    }
    return entries;
}

void TransmitterTable::setName(std::size_t row, std::string name) {
    Transmitter& t = rows_.at(row);
    t.name = std::move(name);
    t.listed = t.listed || !t.name.empty();
    recount();
}

void TransmitterTable::recount() {
    listed_ = 0;
    listedHeard_ = 0;
    othersHeard_ = 0;
    for (const Transmitter& t : rows_) {
        listed_ += t.listed ? 1 : 0;
        listedHeard_ += t.listed && t.heard() ? 1 : 0;
        othersHeard_ += !t.listed && t.heard() ? 1 : 0;
    }
}

TransmitterState TransmitterTable::state(const Transmitter& row, TimePoint now) const {
    if (!row.heard()) {
        return TransmitterState::NotHeard;
    }
    if (missingAfter_ && now - row.lastHeard > *missingAfter_) {
        return TransmitterState::Missing;
    }
    return TransmitterState::Heard;
}

void TransmitterTable::startWalk(TimePoint at, std::optional<std::chrono::seconds> limit) {
    const bool anyListed =
        std::any_of(rows_.begin(), rows_.end(), [](const Transmitter& t) { return t.listed; });
    walk_ = WalkTest{};
    walk_.started = true;
    walk_.from = at;
    walk_.limit = limit;
    for (Transmitter& t : rows_) {
        t.walkExpected = anyListed ? t.listed : true;
        t.walkMessages = 0;
        t.walkHeard = {};
        walk_.expected += t.walkExpected ? 1 : 0;
    }
}

void TransmitterTable::stopWalk(TimePoint at) {
    if (walk_.running()) {
        walk_.end = WalkEnd::Stopped;
        walk_.to = at;
    }
}

bool TransmitterTable::endWalkIfDue(TimePoint now) {
    if (!walk_.running() || !walk_.limit || now - walk_.from < *walk_.limit) {
        return false;
    }
    walk_.end = WalkEnd::TimeUp;
    walk_.to = walk_.from + *walk_.limit;
    return true;
}

std::vector<const Transmitter*> TransmitterTable::reportOrder() const {
    std::vector<const Transmitter*> order;
    for (const Transmitter& t : rows_) {
        if (t.walkExpected || t.walkMessages > 0) {
            order.push_back(&t);
        }
    }
    // The expected never heard first, then the heard in the order they were, then the others.
    const auto rank = [](const Transmitter* t) {
        return !t->walkExpected ? 2 : (t->walkMessages == 0 ? 0 : 1);
    };
    std::stable_sort(order.begin(), order.end(), [&](const Transmitter* a, const Transmitter* b) {
        if (rank(a) != rank(b)) {
            return rank(a) < rank(b);
        }
        return rank(a) != 0 && a->walkHeard < b->walkHeard;
    });
    return order;
}

std::string TransmitterTable::walkReportCsv() const {
    std::string out =
        "id,smart,name,walk_test,walk_first_heard,walk_messages,messages,repeats,first_heard,"
        "last_heard,st,dt,d1,xxxx,cs\r\n";
    for (const Transmitter* t : reportOrder()) {
        const bool walkHeard = t->walkMessages > 0;
        const std::string result =
            !t->walkExpected ? "not expected" : (walkHeard ? "heard" : "not heard");
        const auto& b = t->last;
        const auto hex = [&](std::size_t i) { return t->heard() ? receiver::hexByte(b[i]) : ""; };
        out += idText(t->id) + "," + smartLetters(t->id) + "," + csvField(t->name) + "," + result +
               "," + (walkHeard ? isoLocalTime(t->walkHeard) : "") + "," +
               std::to_string(t->walkMessages) + "," + std::to_string(t->messages) + "," +
               std::to_string(t->repeats) + "," + (t->heard() ? isoLocalTime(t->firstHeard) : "") +
               "," + (t->heard() ? isoLocalTime(t->lastHeard) : "") + "," + hex(0) + "," + hex(4) +
               "," + hex(5) + "," + hex(6) + hex(7) + "," + hex(8) + "\r\n";
    }
    return out;
}

std::string TransmitterTable::walkSummary(TimePoint now) const {
    if (!walk_.started) {
        return "No walk test was started.\n";
    }
    const TimePoint to = walk_.running() ? now : walk_.to;
    std::string out =
        "Walk test from " + dateTime(walk_.from, ' ') + " to " +
        (walk_.running() ? "now (" + clockTime(to) + ", still running)" : clockTime(to)) + ", " +
        spanText(std::chrono::duration_cast<std::chrono::seconds>(to - walk_.from));
    if (walk_.end == WalkEnd::TimeUp) {
        out += ", ended at its time limit";
    } else if (walk_.end == WalkEnd::Stopped) {
        out += ", stopped by the operator";
    }
    out += ".\n" + std::to_string(walk_.heard) + " of " + std::to_string(walk_.expected) +
           " expected transmitters heard.\n";
    const auto line = [](const Transmitter& t) {
        std::string text = "  " + idText(t.id) + "  " + smartLetters(t.id);
        if (!t.name.empty()) {
            text += "  " + t.name;
        }
        if (t.walkMessages > 0) {
            text += "  first at " + clockTime(t.walkHeard) + ", " +
                    count(t.walkMessages, "message", "messages");
        }
        return text + "\n";
    };
    const std::vector<const Transmitter*> order = reportOrder();
    const auto section = [&](const char* title, int wanted) {
        std::string lines;
        std::size_t n = 0;
        for (const Transmitter* t : order) {
            const int rank = !t->walkExpected ? 2 : (t->walkMessages == 0 ? 0 : 1);
            if (rank == wanted) {
                lines += line(*t);
                ++n;
            }
        }
        if (n > 0) {
            out += std::string(title) + " (" + std::to_string(n) + "):\n" + lines;
        }
    };
    section("Not heard", 0);
    section("Heard", 1);
    section("Also heard, not expected", 2);
    out += "Test messages from the receiver since start: " + std::to_string(testMessages_) + ".\n";
    return out;
}

std::string isoLocalTime(TimePoint at) {
    long offset = 0;
    localParts(at, offset);
    const char sign = offset < 0 ? '-' : '+';
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    return dateTime(at, 'T') + sign + twoDigits(static_cast<int>(minutes / 60)) + ":" +
           twoDigits(static_cast<int>(minutes % 60));
}

std::string clockTime(TimePoint at) {
    return dateTime(at, ' ').substr(11);
}

std::string spanText(std::chrono::seconds span) {
    const long long total = span.count() < 0 ? 0 : span.count();
    const long long hours = total / 3600;
    const long long minutes = total % 3600 / 60;
    const long long seconds = total % 60;
    if (hours > 0) {
        return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    }
    if (minutes > 0) {
        return std::to_string(minutes) + " min " + std::to_string(seconds) + " s";
    }
    return std::to_string(seconds) + " s";
}

}  // namespace nira::capture
