#include "transmitter_output.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <system_error>

#include "listen_options.hpp"
#include "listen_output.hpp"
#include "listen_support.hpp"
#include "receiver/text_codec.hpp"

namespace nira::listen {

namespace {

using capture::idText;
using capture::Transmitter;
using capture::TransmitterState;
using Clock = std::chrono::system_clock;

std::string field(std::string_view name, std::string_view value) {
    return jsonString(name) + ":" + jsonString(value);
}

std::string lastFields(const receiver::EventBody& b) {
    using receiver::hexByte;
    return "{" + field("ST", hexByte(b[0])) + "," + field("DT", hexByte(b[4])) + "," +
           field("D1", hexByte(b[5])) + "," + field("XXXX", hexByte(b[6]) + hexByte(b[7])) + "," +
           field("CS", hexByte(b[8])) + "}";
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        char32_t point = 0;
        const std::size_t length = codePointAt(text, i, point);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        if (point == '"' || point == '\\') {
            out += '\\';
            out += static_cast<char>(point);
        } else if (point < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

TransmitterOutput::TransmitterOutput(Settings settings) : settings_(std::move(settings)) {
    table_.applyList(settings_.list);
    settings_.list = {};  // the table has it
    table_.setMissingAfter(settings_.missingAfter);
    missingShown_.assign(table_.rows().size(), false);
    isDirty_.assign(table_.rows().size(), false);
}

std::string TransmitterOutput::receiverKey(const std::string& prefix) {
    return escapedName(prefix);
}

std::string TransmitterOutput::nameOf(const receiver::EventBody& body) const {
    const auto row = table_.rowOf(capture::transmitterIdOf(body));
    return row ? table_.rows()[*row].name : std::string();
}

std::size_t TransmitterOutput::heard() const {
    return table_.listedHeard() + table_.othersHeard();
}

std::size_t TransmitterOutput::missing(Clock::time_point now) const {
    return static_cast<std::size_t>(
        std::count_if(table_.rows().begin(), table_.rows().end(), [&](const Transmitter& row) {
            return table_.state(row, now) == TransmitterState::Missing;
        }));
}

std::string TransmitterOutput::stateJson(const Transmitter& row, Clock::time_point now) const {
    const TransmitterState state = table_.state(row, now);
    const auto time = [&](Clock::time_point at) {
        return row.heard() ? jsonString(isoTime(at)) : std::string("null");
    };
    return "{" + field("id", idText(row.id)) + "," + field("smart", capture::smartLetters(row.id)) +
           "," + field("name", row.name) + ",\"listed\":" + (row.listed ? "true" : "false") + "," +
           field("state", capture::stateText(state)) +
           ",\"messages\":" + std::to_string(row.messages) +
           ",\"repeats\":" + std::to_string(row.repeats) +
           ",\"first_heard\":" + time(row.firstHeard) + ",\"last_heard\":" + time(row.lastHeard) +
           ",\"last\":" + (row.heard() ? lastFields(row.last) : std::string("null")) +
           ",\"missing\":" + (state == TransmitterState::Missing ? "true" : "false") + "}";
}

void TransmitterOutput::publishState(std::size_t row, Clock::time_point now) {
    const Transmitter& t = table_.rows()[row];
    missingShown_[row] = table_.state(t, now) == TransmitterState::Missing;
    if (sink_ != nullptr) {
        sink_->retain(settings_.prefix + "/transmitter/" + idText(t.id), stateJson(t, now));
    }
}

void TransmitterOutput::take(const capture::Arrival& arrival, Clock::time_point at) {
    if (arrival.message.kind == receiver::ChunkKind::TestMessage) {
        table_.onTest();
        return;
    }
    if (arrival.message.kind != receiver::ChunkKind::EventMessage) {
        return;
    }
    const receiver::EventBody& body = arrival.message.event;
    const auto heard = table_.onEvent(body, at);
    if (heard.added) {
        missingShown_.push_back(false);
        isDirty_.push_back(false);
    }
    if (sink_ != nullptr && !isDirty_[heard.row]) {
        isDirty_[heard.row] = true;
        dirty_.push_back(heard.row);
    }
    const Transmitter& t = table_.rows()[heard.row];
    if (sink_ != nullptr && !settings_.discoveryPrefix.empty() && t.listed && !heard.repeat) {
        std::string event = lastFields(body);
        event.insert(1, field("event_type", "message") + ",");
        sink_->sendNow(settings_.prefix + "/transmitter/" + idText(t.id) + "/event",
                       std::move(event));
    }
}

void TransmitterOutput::flush(Clock::time_point now) {
    for (const std::size_t row : dirty_) {
        isDirty_[row] = false;
        publishState(row, now);
    }
    dirty_.clear();
}

void TransmitterOutput::tick(Clock::time_point now) {
    if (!table_.missingAfter()) {
        return;
    }
    for (std::size_t row = 0; row < table_.rows().size(); ++row) {
        const bool missing = table_.state(table_.rows()[row], now) == TransmitterState::Missing;
        if (missing != missingShown_[row]) {
            publishState(row, now);
        }
    }
}

TopicSink::Part TransmitterOutput::discoveryConfigs(const Settings& settings,
                                                    const std::vector<capture::ListEntry>& listed,
                                                    std::size_t part) {
    const std::string key = receiverKey(settings.prefix);
    const std::string receiverId = "nira7_" + key;
    const std::string& disc = settings.discoveryPrefix;
    const std::string availability =
        "\"availability_topic\":" + jsonString(settings.prefix + "/status") +
        ",\"payload_available\":\"online\","
        "\"payload_not_available\":\"offline\"";
    TopicSink::Part out;
    // One entity: its component, its object's name, what it shows, and its device.
    const auto entity = [&](const std::string& component, const std::string& node,
                            const std::string& object, const std::string& name,
                            const std::string& rest, const std::string& device) {
        out.emplace_back(disc + "/" + component + "/" + node + "/" + object + "/config",
                         "{" + field("name", name) + "," + field("unique_id", node + "_" + object) +
                             "," + rest + "," + availability + ",\"device\":" + device + "}");
    };
    if (part > 0) {
        const capture::ListEntry& t = listed.at(part - 1);  // never the neighbours'
        const std::string node = receiverId + "_" + idText(t.id);
        const std::string state =
            "\"state_topic\":" + jsonString(settings.prefix + "/transmitter/" + idText(t.id));
        const std::string device =
            "{\"identifiers\":[" + jsonString(node) + "]," +
            field("name", t.name.empty() ? "Transmitter " + idText(t.id) : t.name) + "," +
            field("model", "Radio transmitter " + idText(t.id)) + "," +
            field("via_device", receiverId) + "}";
        entity("sensor", node, "last_heard", "Last heard",
               state +
                   ",\"value_template\":\"{{ value_json.last_heard }}\",\"device_class\":"
                   "\"timestamp\"",
               device);
        entity("sensor", node, "messages", "Messages",
               state +
                   ",\"value_template\":\"{{ value_json.messages }}\",\"state_class\":"
                   "\"total_increasing\"",
               device);
        if (settings.missingAfter) {
            entity("binary_sensor", node, "missing", "Missing",
                   state +
                       ",\"value_template\":\"{{ 'ON' if value_json.missing else 'OFF' }}\","
                       "\"device_class\":\"problem\"",
                   device);
        }
        entity("event", node, "message", "Message",
               "\"state_topic\":" +
                   jsonString(settings.prefix + "/transmitter/" + idText(t.id) + "/event") +
                   ",\"event_types\":[\"message\"]",
               device);
        return out;
    }
    const std::string receiverDevice = "{\"identifiers\":[" + jsonString(receiverId) + "]," +
                                       field("name", "Receiver " + settings.prefix) + "," +
                                       field("model", "NIRA-7 receiver on a serial port") + "}";
    const std::string stats = jsonString(settings.prefix + "/stats");
    entity("sensor", receiverId, "device", "Device",
           "\"state_topic\":" + jsonString(settings.prefix + "/device"), receiverDevice);
    entity(
        "sensor", receiverId, "events", "Events",
        "\"state_topic\":" + stats +
            ",\"value_template\":\"{{ value_json.event }}\",\"state_class\":\"total_increasing\"",
        receiverDevice);
    entity(
        "sensor", receiverId, "transmitters_heard", "Transmitters heard",
        "\"state_topic\":" + stats + ",\"value_template\":\"{{ value_json.transmitters_heard }}\"",
        receiverDevice);
    return out;
}

void TransmitterOutput::attach(TopicSink& sink) {
    sink_ = &sink;
    const auto now = Clock::now();
    for (std::size_t row = 0; row < table_.rows().size(); ++row) {
        publishState(row, now);
    }
    if (settings_.discoveryPrefix.empty()) {
        return;
    }
    std::vector<capture::ListEntry> listed;
    for (const Transmitter& t : table_.rows()) {
        if (t.listed) {
            listed.push_back({t.id, t.name});
        }
    }
    auto snapshot = std::make_shared<const std::pair<Settings, std::vector<capture::ListEntry>>>(
        Settings{{}, settings_.missingAfter, settings_.prefix, settings_.discoveryPrefix, {}},
        std::move(listed));
    const std::size_t parts = 1 + snapshot->second.size();
    sink.retainAtEachConnection(parts, [snapshot](std::size_t part) {
        return discoveryConfigs(snapshot->first, snapshot->second, part);
    });
    // What an earlier run discovered and the list no longer has is cleared.
    std::set<std::string> current;
    for (std::size_t part = 0; part < parts; ++part) {
        for (auto& [topic, payload] : discoveryConfigs(snapshot->first, snapshot->second, part)) {
            current.insert(std::move(topic));
        }
    }
    if (!settings_.recordOf.empty()) {
        std::ifstream before(settings_.recordOf);
        for (std::string topic; std::getline(before, topic);) {
            if (!topic.empty() && current.count(topic) == 0) {
                sink.retain(topic, {});
            }
        }
        const std::filesystem::path fresh = settings_.recordOf.string() + ".new";
        {
            std::ofstream out(fresh, std::ios::trunc);
            for (const std::string& topic : current) {
                out << topic << "\n";
            }
        }
        std::error_code ignored;
        std::filesystem::rename(fresh, settings_.recordOf, ignored);
    }
    releaseFreedMemory();
}

}  // namespace nira::listen
