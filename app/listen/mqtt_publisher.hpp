#pragma once
// The listener's messages to an MQTT broker, through libmosquitto, by a thread of its own: the
// serial side only writes each message to the spool and goes on, whatever the broker does.
//
// Topics below the prefix: "event", "test", "unrecognised" (QoS 1, from the spool, in order),
// and, retained, "status" ("online", the broker's Last Will "offline"), "device" (listening,
// device lost, waiting) and "stats" (the counts, dropped chunks among them).
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <deque>
#include <set>
#include <vector>

#include "spool.hpp"
#include "transmitter_output.hpp"

struct mosquitto;
struct mosquitto_message;

namespace nira::listen {

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile;  // empty with TLS: the system's CAs
    std::string certFile;
    std::string keyFile;
    std::string user;
    std::string password;
    std::string prefix;
    std::string clientId;
    std::chrono::seconds keepAlive{30};
    std::chrono::seconds answerWait{10};  // for the broker's CONNACK
    unsigned drainRate = 0;               // messages a second at most; 0: no limit
};

class MqttPublisher : public TopicSink {
  public:
    // `tell` gets each sentence for the operator (from the publisher's thread).
    MqttPublisher(MqttSettings settings, Spool& spool, std::function<void(std::string)> tell);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Reads back what the spool kept from an earlier run, then publishes.
    void start();
    // A message for `topic` below the prefix; false with the reason in `error` when the spool's
    // disk did not take it (it is published all the same).
    bool publish(std::string_view topic, std::string_view payload, std::string& error);
    // The retained "device" and "stats" values: only the latest is sent.
    void setDevice(std::string state);
    void setStats(std::string json);
    // Topics of the transmitters: see TopicSink.
    void retain(std::string topic, std::string payload) override;
    void sendNow(std::string topic, std::string payload) override;
    void retainAtEachConnection(std::size_t parts,
                                std::function<Part(std::size_t part)> part) override;
    // Whether a burst (the connection's parts, many states) waits for its next turn.
    bool burstLeft() const { return connectionPart_ < connectionParts_ || burstRetained_; }
    // Publishes what waits for up to `limit` while the broker is there, says "offline" and
    // disconnects. What the broker did not take stays in the spool for the next run.
    void stop(std::chrono::milliseconds limit);

    long published() const { return published_.load(); }
    // Messages that had to wait for an absent broker.
    long spooled() const { return spooled_.load(); }
    bool connected() const { return connected_.load(); }
    // Messages the broker refused again and again, set aside in the spool's folder.
    long setAside() const { return spool_.setAsideCount(); }

    // The sentence for a libmosquitto result (errno read by the caller's thread).
    static std::string reasonOf(int result, int savedErrno, const std::string& tlsDetail);

  private:
    void run();
    void recover();
    bool connect();
    // A connection lost while `oldest` was the first message the broker had not taken.
    void suspect(const std::string& reason);
    void setAsideRecord(std::uint64_t number, const std::string& why);
    // How many may go now under the drain rate, and when the next may.
    std::size_t allowance(std::chrono::steady_clock::time_point now);
    void lose(const std::string& reason, bool refused);
    void pump();
    void sendRetained();
    void wake();
    void waitWake(std::chrono::milliseconds limit);
    void destroyClient();

    static void onConnect(mosquitto* client, void* self, int result);
    static void onPublish(mosquitto* client, void* self, int mid);
    static void onLog(mosquitto* client, void* self, int level, const char* text);

    MqttSettings settings_;
    Spool& spool_;
    std::function<void(std::string)> tell_;
    std::thread thread_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    // The publisher's thread alone.
    mosquitto* client_ = nullptr;
    struct Sent {
        std::uint64_t number = 0;  // the spool's record
        std::string topic;
        std::size_t bytes = 0;
    };
    std::map<int, Sent> inFlight_;  // by message id
    std::uint64_t suspect_ = 0;     // first not taken at the last losses
    std::string suspectWhat_;       // its topic and size, to tell
    int suspectLosses_ = 0;
    double tokens_ = 0;  // the drain rate's allowance
    std::chrono::steady_clock::time_point tokensAt_;
    bool acked_ = false;  // CONNACK taken
    std::chrono::steady_clock::time_point connectStarted_;
    std::chrono::steady_clock::time_point nextAttempt_;
    std::chrono::seconds backoff_{1};
    std::chrono::steady_clock::time_point connectedSince_;
    bool shortLivedTold_ = false;
    std::string lastReason_;  // the last failure told
    std::string tlsDetail_;
    std::chrono::steady_clock::time_point downSince_;
    bool everConnected_ = false;
    int offlineMid_ = -1;
    bool offlineTaken_ = false;
    bool needOnline_ = false;  // "online" to be published on the new connection
    int refused_ = 0;          // the broker's CONNACK refusal
    int failed_ = 0;           // a publish that failed
    std::string sentDevice_;
    std::string sentStats_;

    std::mutex mutex_;  // what the serial side hands over
    std::string device_;
    std::string stats_;
    std::map<std::string, std::string> retained_;  // the latest not yet sent, by topic
    std::deque<std::pair<std::string, std::string>> now_;
    std::function<Part(std::size_t)> partAt_;
    std::size_t parts_ = 0;
    bool connectionRetainedDue_ = false;
    // The publisher's thread alone: where the connection's parts are.
    std::function<Part(std::size_t)> connectionPartAt_;
    std::size_t connectionPart_ = 0;
    std::size_t connectionParts_ = 0;
    bool burstRetained_ = false;
    std::set<int> burstOnItsWay_;  // message ids of retained topics the broker has not taken
    std::atomic<bool> stopping_{false};
    std::chrono::steady_clock::time_point stopBy_;
    std::atomic<bool> connected_{false};
    std::atomic<long> published_{0};
    std::atomic<long> spooled_{0};
};

}  // namespace nira::listen
