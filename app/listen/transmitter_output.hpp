#pragma once
// The listener's view of the site's transmitters: the table the window keeps, fed by each
// message, with the site's list for names; and what the desk sees of it over MQTT: a retained
// state object per transmitter, and opt-in Home Assistant discovery for the listed ones.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/receiver_handler.hpp"
#include "capture/transmitters.hpp"

namespace nira::listen {

// Where the transmitters' topics go: a broker's publisher, or nothing.
class TopicSink {
  public:
    virtual ~TopicSink() = default;
    // Retained; only the latest per topic is sent (empty: the topic is cleared).
    virtual void retain(std::string topic, std::string payload) = 0;
    // Once, not retained, and only while the broker is there (what fires on the desk must not
    // fire again, late, after an outage).
    virtual void sendNow(std::string topic, std::string payload) = 0;
    // Sent at every connection (a restarted broker gets them again), `parts` of them, each
    // made when it is due (`part` is called on the sink's own thread, so it reads only what
    // does not change): thousands of configs are never all in memory at once.
    using Part = std::vector<std::pair<std::string, std::string>>;
    virtual void retainAtEachConnection(std::size_t parts,
                                        std::function<Part(std::size_t part)> part) = 0;
};

// A JSON string with its quotes; bytes that are no UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);

class TransmitterOutput {
  public:
    struct Settings {
        std::vector<capture::ListEntry> list;  // the site's list, empty without one
        std::optional<std::chrono::seconds> missingAfter;
        std::string prefix;              // the topics' prefix; empty: no publishing
        std::string discoveryPrefix;     // empty: no discovery
        std::filesystem::path recordOf;  // where the discovered topics are kept between runs
    };
    explicit TransmitterOutput(Settings settings);

    // The name the list gives this event's transmitter, or empty.
    std::string nameOf(const receiver::EventBody& body) const;
    // A message, after it was recorded and answered.
    void take(const capture::Arrival& arrival, std::chrono::system_clock::time_point at);
    // States changed by messages wait here to go out together, at most once a second: a burst
    // of messages costs one state a transmitter, not one a message.
    bool statesWaiting() const { return !dirty_.empty(); }
    void flush(std::chrono::system_clock::time_point now);
    // The clock moved on: states that turn missing are published.
    void tick(std::chrono::system_clock::time_point now);
    // Publishing starts: the listed transmitters' states, the discovery configs (and the
    // clearing of those no longer listed) go to `sink`.
    void attach(TopicSink& sink);

    std::size_t heard() const;
    std::size_t expected() const { return table_.listedCount(); }
    std::size_t missing(std::chrono::system_clock::time_point now) const;

    // The receiver's key in identifiers and discovery topics: the prefix, one to one, in the
    // letters, digits and "_" they allow.
    static std::string receiverKey(const std::string& prefix);

  private:
    std::string stateJson(const capture::Transmitter& row,
                          std::chrono::system_clock::time_point now) const;
    void publishState(std::size_t row, std::chrono::system_clock::time_point now);
    // The configs of the receiver (part 0) or of a listed transmitter (part i: the i-th):
    // made anew at each connection from a snapshot of the list, as a few configs a
    // transmitter kept would cost kilobytes each.
    static TopicSink::Part discoveryConfigs(const Settings& settings,
                                            const std::vector<capture::ListEntry>& listed,
                                            std::size_t part);

    Settings settings_;
    capture::TransmitterTable table_;
    std::vector<bool> missingShown_;  // by row: the state last published said missing
    std::vector<bool> isDirty_;       // by row: in dirty_
    std::vector<std::size_t> dirty_;
    TopicSink* sink_ = nullptr;
};

}  // namespace nira::listen
