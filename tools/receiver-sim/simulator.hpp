#pragma once
// The virtual receiver: a pseudo-terminal that plays the device's side of the serial line.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "script.hpp"

namespace nira::sim {

struct Options {
    enum class Mode { Demo, Script, Load } mode = Mode::Demo;
    std::string scriptFile;
    std::vector<Step> script;
    long rate = 0;  // bits per second of wire time to pace bytes at; 0 sends each message at once
    int count = 100;
    int intervalMs = 100;
    int mergeAt = 0;       // load run: this message follows the one before at once (0: none does)
    int transmitters = 0;  // load run: events from this many transmitters in turn (0: a few)
    int statsEveryMs = 0;
    int lingerMs = 2000;  // at the end, how long to wait for acknowledgements still owed
    bool expectAcks = false;
    bool waitOpen = false;  // before anything else, wait until an analyser holds the port
    bool registerPort = true;
    std::uint32_t seed = 0;
};

struct Stats {
    int sentTest = 0;
    int sentEvent = 0;
    int sentOther = 0;
    int acks = 0;
    int acksMissing = 0;
    int acksUnexpected = 0;
    long receivedOther = 0;
    int unheard = 0;  // demo messages nobody read before the next was due
    std::vector<double> ackMs;

    void print(std::ostream& out) const;
};

class Simulator {
  public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The port end's path, as the analyser opens it.
    const std::string& portPath() const { return portPath_; }

    // Plays the steps until they are done (or forever in demo mode) or `stop` is set by a
    // signal. Returns the exit status.
    int run(const volatile std::sig_atomic_t& stop);
    const Stats& stats() const { return stats_; }

  private:
    using Clock = std::chrono::steady_clock;

    std::optional<Step> nextStep();
    Step demoStep();
    void registerPort();
    void unregisterPort();
    void readAcknowledgements();
    void expireOwed(Clock::time_point now);
    bool settled() const { return owed_.empty(); }

    // What a look at the current step decided: done, or when to look again (and whether the
    // line should say when it takes more bytes).
    struct Progress {
        bool done = false;
        std::optional<Clock::time_point> wake;
        bool wantWrite = false;
        void wakeAt(Clock::time_point t);
    };
    void beginNextStep(Clock::time_point now);
    Progress advance(Clock::time_point now);
    // One method per kind of step.
    Progress pause(Clock::time_point now);
    Progress awaitOpen(Clock::time_point now);
    Progress awaitDrain(Clock::time_point now);
    Progress awaitAcknowledgements(Clock::time_point now);
    Progress send(Clock::time_point now);
    void waitForLine(const Progress& progress);
    Clock::time_point stepEnd() const;
    // Tells that the step's expectation was not met in its time; the run then fails.
    void missed(const std::string& what);

    Options options_;
    int master_ = -1;
    int slave_ = -1;
    std::string portPath_;
    std::string valueName_;
    bool registered_ = false;
    Stats stats_;
    std::deque<OwedAck> owed_;
    std::vector<std::uint8_t> unread_;  // left in the port by the analyser's last read, as modelled
    std::size_t scriptAt_ = 0;
    int loadSent_ = 0;
    bool waitedOpen_ = false;
    bool heardFrom_ = false;  // anything came back from the port
    std::mt19937 random_;
    int demoTick_ = 0;

    // The step being played.
    std::optional<Step> current_;
    Clock::time_point stepStart_{};
    std::size_t sent_ = 0;
    Clock::time_point firstSent_{};  // when the step's first byte went out
    struct DrainWatch {
        int backlog = -1;   // bytes in the port at the last look
        bool read = false;  // the analyser took some since the step began
        Clock::time_point stableSince{};
    } drain_;
    bool missedExpectation_ = false;
    std::chrono::nanoseconds byteTime_{0};  // 0: a message goes out at once
};

}  // namespace nira::sim
