// nira7-listen: the analyser's receiver handling without a window, for long unattended captures.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/receiver_handler.hpp"
#include "listen_options.hpp"
#include "listen_output.hpp"
#include "listen_support.hpp"
#include "platform/console_signals.hpp"
#include "platform/main_thread.hpp"
#include "receiver/text_codec.hpp"
#include "serial/com_port.hpp"
#include "transmitter_output.hpp"

#ifdef NIRA_HAVE_MQTT
#include <unistd.h>

#include "mqtt_publisher.hpp"
#include "spool.hpp"
#endif

namespace nira::listen {
namespace {

using Clock = std::chrono::steady_clock;
using platform::ConsoleSignal;
using platform::DWORD;
using platform::MainThreadQueue;
#ifndef _WIN32  // there they are the system's macros
using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_GEN_FAILURE;
using platform::ERROR_NOT_SAME_DEVICE;
using platform::ERROR_PRIVILEGE_NOT_HELD;
using platform::ERROR_SUCCESS;
#endif

constexpr auto kDeviceCheck = std::chrono::seconds(1);
constexpr auto kIdleWait = std::chrono::hours(1);

std::string whatOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

// The component's fixed messages are the window's (in its language); the listener says the same
// in its own words, which a site's log and a support call can use.
std::string ownWords(const std::string& message) {
    static const char* const kOwn[serial::EComPort::kMessageCount] = {
        "there is no such port",
        "another program holds the port",
        "writing to the port failed",
        "reading from the port failed",
        "a bad transfer setting",
        "emptying the port's queues failed",
        "the state of a transfer could not be read",
        "the port does not take the line settings",
        "the port does not take the time-outs",
        "the port does not take its queue sizes",
        "the port's error state could not be read",
        "the port's modem lines could not be read",
        "the port does not take a line change",
        "a setting may not change while the port is open",
        "the list of ports could not be read",
    };
    for (int i = 0; i < serial::EComPort::kMessageCount; ++i) {
        if (message == serial::EComPort::Message(i)) {
            return kOwn[i];
        }
    }
    return message;
}

// Whether a device of that name is there to be opened; the open itself has the last word.
bool deviceMayBeThere(const std::string& port) {
#ifdef _WIN32
    (void)port;
    return true;
#else
    const std::string path = port.front() == '/' ? port : "/dev/" + port;
    struct stat node {};
    return ::stat(path.c_str(), &node) == 0;
#endif
}

// An output by a function: what the listener does with a message, in one shape.
class Output : public MessageOutput {
  public:
    Output(bool durable, std::function<void(const Outgoing&)> take)
        : durable_(durable), take_(std::move(take)) {}
    bool durable() const override { return durable_; }
    void take(const Outgoing& message) override { take_(message); }

  private:
    bool durable_;
    std::function<void(const Outgoing&)> take_;
};

class Listener {
  public:
    explicit Listener(const Options& options) : options_(options) {}

    int run() {
#ifndef _WIN32
        // A closed output pipe or a file size limit is a failed write to handle, not an end.
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGXFSZ, SIG_IGN);
#endif
        // Standard error must not wait for standard output, which a thread of its own writes and
        // a reader may hold up.
        std::cerr.tie(nullptr);
        if (!options_.logFile.empty()) {
            log_ = std::make_unique<LogFile>(options_.logFile);
            std::string error;
            if (!log_->open(error)) {
                std::cerr << "nira7-listen: " << error << "\n";
                return 1;
            }
        }
        if (options_.sync != Sync::None) {
            diskSync_ = std::make_unique<DiskSync>(options_.sync);
            if (log_) {
                diskSync_->add([log = log_.get()] { return log->forceToDisk(); });
            }
        }
        std::vector<capture::ListEntry> list;
        if (!options_.transmitters.empty() && !readList(list)) {
            return 1;
        }
        if (!startPublishing(list)) {
            return 1;
        }
        if (!transmitters_ && (!options_.transmitters.empty() || options_.missingAfter)) {
            transmitters_ = std::make_unique<TransmitterOutput>(
                TransmitterOutput::Settings{list, options_.missingAfter, {}, {}, {}});
        }
        list = {};  // the table has it
        if (transmitters_ && options_.missingAfter) {
            tickTransmitters();
        }
        buildOutputs();
        platform::watchConsoleSignals([](ConsoleSignal signal) {
            MainThreadQueue::instance().post([signal] { signals().push_back(signal); });
        });
        port_.SetPort(options_.port);
        port_.SetBaudRate(options_.speed);
        port_.SetTimeouts(capture::receiverTimeouts());
        port_.OnRxChar = [this](serial::TBComPort*, std::int32_t) { onArrival(); };
        // A lost device is waited for by the component itself, as in the window.
        port_.SetResumeAfterLoss(true);
        port_.OnWatcherFailure = [this](serial::TBComPort* sender,
                                        const std::exception_ptr& error) {
            if (sender->DeviceLost()) {
                deviceGone();
                return;
            }
            lost_ = true;
            lostReason_ = ownWords(whatOf(error));
        };
        port_.OnDeviceBack = [this](serial::TBComPort*) { deviceBack(); };
        port_.OnLookFailed = [this](serial::TBComPort*, DWORD error) { tellWhy(error); };
        const auto started = Clock::now();
        if (!openPort()) {
            if (!waitable(openError_)) {
                std::cerr << "nira7-listen: cannot listen on " << options_.port << ": "
                          << openFailure_ << "\n";
                return 1;
            }
            // Not there yet (or held, or not this user's yet): wait for it as after a loss.
            reopening_ = true;
            std::cerr << stamp() << " waiting for " << options_.port << ": "
                      << reasonOf(openError_, openFailure_) << "\n";
            deviceState("waiting");
            lastReason_ = openError_;
        } else {
            std::cerr << stamp() << " listening on " << options_.port << " at "
                      << serial::kBaudRates[options_.speed] << " bit/s\n";
            deviceState("listening");
        }

        bool stop = false;
        while (!stop) {
            MainThreadQueue::instance().pumpFor(
                std::chrono::duration_cast<std::chrono::milliseconds>(
                    lost_ || reopening_ ? kDeviceCheck : kIdleWait));
            while (!signals().empty()) {
                const ConsoleSignal signal = signals().front();
                signals().pop_front();
                if (signal == ConsoleSignal::Stop) {
                    stop = true;
                } else if (log_) {
                    std::string error;
                    if (!log_->open(error)) {
                        std::cerr << stamp() << " " << error << "\n";
                    }
                }
            }
            stop = stop || nothingToWaitFor_;
            if (!stop && lost_) {
                followTheDevice();
            } else if (!stop && reopening_) {
                reopen();
            }
        }
        // A stop signal from here on finds the end under way already.
        platform::stopWatchingConsoleSignals();
        if (transmitterTick_) {
            MainThreadQueue::instance().cancel(*transmitterTick_);
        }
        if (stateFlush_) {
            MainThreadQueue::instance().cancel(*stateFlush_);
        }
        if (transmitters_) {
            transmitters_->flush(std::chrono::system_clock::now());  // before publishing ends
        }
        try {
            port_.ClosePort();
        } catch (const std::exception& e) {
            std::cerr << stamp() << " closing " << options_.port << ": " << ownWords(e.what())
                      << "\n";
        }
        stopPublishing();
        if (diskSync_ && !diskSync_->finish(std::chrono::seconds(5))) {
            std::cerr << stamp()
                      << " the last messages were not yet forced to the disk (it does not "
                         "answer)\n";
        }
        outputFinished_ = output_.finish(std::chrono::seconds(1));
        if (output_.dropped() > 0 && !outputDropTold_) {
            std::cerr << stamp() << " " << output_.dropped()
                      << " lines for standard output were dropped: it did not keep up or was "
                         "gone"
                      << (log_ ? " (the log keeps them)" : "") << "\n";
        }
        summary(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started));
        return 0;
    }

    // Whether standard output's writer got done at the end.
    bool outputFinished() const {
        return outputFinished_;
    }

  private:
    static std::deque<ConsoleSignal>& signals() {
        static std::deque<ConsoleSignal> pending;
        return pending;
    }

    static std::string stamp() {
        return isoTime(std::chrono::system_clock::now());
    }

    // The outputs, in the order each message is handed to them.
    void buildOutputs() {
        if (log_) {
            outputs_.push_back(std::make_unique<Output>(true, [this](const Outgoing& m) {
                std::string error;
                std::string notice;
                if (!log_->append(m.line, error, notice) && !logFailed_) {
                    std::cerr << stamp() << " " << error << "\n";
                }
                if (!notice.empty()) {
                    std::cerr << stamp() << " " << notice << "\n";
                }
                logFailed_ = !error.empty();
            }));
        }
        if (publishing()) {
            outputs_.push_back(std::make_unique<Output>(true, [this](const Outgoing& m) {
                publishMessage(m.arrival.message.kind, m.json);
            }));
        }
        if (transmitters_) {
            outputs_.push_back(std::make_unique<Output>(false, [this](const Outgoing& m) {
                transmitters_->take(m.arrival, m.at);
                if (transmitters_->statesWaiting() && !stateFlush_) {
                    stateFlush_ =
                        MainThreadQueue::instance().postAfter(std::chrono::seconds(1), [this] {
                            stateFlush_.reset();
                            transmitters_->flush(std::chrono::system_clock::now());
                        });
                }
            }));
        }
        outputs_.push_back(std::make_unique<Output>(false, [this](const Outgoing& m) {
            const std::string shown = options_.json ? m.json : receiver::shownUtf8(m.line);
            if (!output_.push(shown) && !outputDropTold_) {
                outputDropTold_ = true;
                std::cerr << stamp()
                          << " standard output does not keep up or is gone; its lines are dropped"
                          << (log_ ? " (the log keeps them)" : "") << "\n";
            }
        }));
    }

    void handOut(const Outgoing& message, bool durable) {
        for (const auto& output : outputs_) {
            if (output->durable() == durable) {
                output->take(message);
            }
        }
        if (durable && diskSync_) {
            // One sync for the log's line and the spool's record, after both.
            diskSync_->written();
            if (const std::string error = diskSync_->takeError(); !error.empty()) {
                std::cerr << stamp() << " " << error << "\n";
            }
        }
    }

    void onArrival() {
        // The durable outputs have the message before the receiver is answered.
        std::string line;
        std::string json;
        std::chrono::system_clock::time_point at{};
        const capture::Arrival arrival =
            capture::handleArrival(port_, capture::sleepFor, [&](const capture::Arrival& a) {
                if (a.message.kind == receiver::ChunkKind::Dropped) {
                    return;
                }
                // The message's time is its log line's: when it was read whole.
                at = std::chrono::system_clock::now();
                line = capture::stampedLogLine(a.logContent);
                ++number_;
                if (options_.json || publishing()) {
                    const std::string name =
                        transmitters_ && a.message.kind == receiver::ChunkKind::EventMessage
                            ? transmitters_->nameOf(a.message.event)
                            : std::string();
                    json = jsonLine(a, at, number_, runTag_, name);
                }
                handOut(Outgoing{a, line, json, at}, true);
            });
        acks_ += arrival.acknowledged ? 1 : 0;
        switch (arrival.message.kind) {
            case receiver::ChunkKind::TestMessage:
                ++tests_;
                break;
            case receiver::ChunkKind::EventMessage:
                ++events_;
                break;
            case receiver::ChunkKind::Unrecognised:
                ++unrecognised_;
                break;
            case receiver::ChunkKind::Dropped:
                ++dropped_;
                publishStats(true);
                return;
        }
        handOut(Outgoing{arrival, line, json, at}, false);
        publishStats(false);
    }

    // The device went away: the component let it go and looks for it once a second. Told once
    // per loss.
    void deviceGone() {
        if (waiting_) {
            return;  // a reason found by a look is told by tellWhy
        }
        waiting_ = true;
        deviceState("device lost");
        lastReason_ = ERROR_FILE_NOT_FOUND;
        gapStart_ = Clock::now();
        std::cerr << stamp() << " the device of port " << options_.port
                  << " is gone (unplugged or switched off)\n";
        if (!port_.AwaitingReturn()) {
            // Its number goes to the next program that asks; that terminal must not be taken.
            nothingToWaitFor_ = true;
            std::cerr << stamp() << " " << options_.port
                      << " was a pseudo-terminal, named by its number, which the system gives "
                         "to the next program that asks: it is not waited for (name a link to "
                         "it to have it followed); ending\n";
            return;
        }
        std::cerr << stamp() << " waiting for " << options_.port << " to come back\n";
    }

    void deviceBack() {
        const auto gap = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - gapStart_);
        ++gaps_;
        gapTotal_ += gap;
        waiting_ = false;
        std::cerr << stamp() << " " << options_.port << " is back after " << gap.count()
                  << " s; listening again\n";
        deviceState("listening");
    }

    // The watcher failed for another reason (not the device): let go, and open afresh once a
    // second.
    void followTheDevice() {
        lost_ = false;
        reopening_ = true;
        deviceState("waiting");
        lastReason_ = ERROR_SUCCESS;
        std::cerr << stamp() << " " << options_.port << ": " << lostReason_
                  << "; opening it again\n";
        try {
            port_.ClosePort();
        } catch (const std::exception&) {
            // a close that fails here is tried again by the next open
        }
    }

    void reopen() {
        if (!openPort()) {
            tellWhy(openError_);
            return;
        }
        reopening_ = false;
        std::cerr << stamp() << " listening on " << options_.port << " at "
                  << serial::kBaudRates[options_.speed] << " bit/s\n";
        deviceState("listening");
    }

    // One attempt; what went wrong is kept in openError_ and openFailure_.
    bool openPort() {
        if (!deviceMayBeThere(options_.port)) {
            openError_ = ERROR_FILE_NOT_FOUND;
            openFailure_.clear();
            return false;
        }
        try {
            port_.OpenPort();
            return true;
        } catch (const std::exception&) {
            // The component's own words are the window's; the listener says it in its own.
            const DWORD error = port_.OpenError();
            openError_ = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
            openFailure_ = error == ERROR_SUCCESS
                               ? "the device does not take the line settings (" +
                                     std::to_string(serial::kBaudRates[options_.speed]) +
                                     " bit/s, 8N1)"
                               : "it is not a serial device, or it does not answer";
            return false;
        }
    }

    // Worth waiting for: the device may come, be let go of, or be given to this user.
    static bool waitable(DWORD error) {
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
               error == ERROR_PRIVILEGE_NOT_HELD;
    }

    static std::string reasonOf(DWORD error, const std::string& failure = {}) {
        switch (error) {
            case ERROR_FILE_NOT_FOUND:
                return "there is no such device (not plugged in, or named otherwise)";
            case ERROR_ACCESS_DENIED:
                return "another program holds the device";
            case ERROR_PRIVILEGE_NOT_HELD:
                return "this user may not open the device (on Debian: the dialout group)";
            case ERROR_NOT_SAME_DEVICE:
                return "the name is back as another device (" + failure +
                       "), left alone; still waiting for the receiver's adapter";
            default:
                return failure.empty() ? "the device does not open or take its settings yet"
                                       : failure;
        }
    }

    // While waiting, each new reason the device cannot be opened is told once.
    void tellWhy(DWORD error) {
        if (error == lastReason_) {
            return;
        }
        lastReason_ = error;
        std::cerr << stamp() << " still waiting for " << options_.port << ": "
                  << reasonOf(error, error == ERROR_NOT_SAME_DEVICE ? port_.StrangerDevice()
                                                                    : std::string())
                  << "\n";
    }

    // The site's list; its bad lines are said and the good ones kept. False when it cannot be
    // read at all.
    bool readList(std::vector<capture::ListEntry>& list) const {
        std::ifstream in(options_.transmitters, std::ios::binary);
        if (!in) {
            std::cerr << "nira7-listen: cannot read the list of transmitters \""
                      << options_.transmitters << "\"\n";
            return false;
        }
        const std::string text{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        std::vector<capture::ListProblem> problems;
        try {
            list = capture::TransmitterList::parse(text, problems).entries();
        } catch (const std::exception& e) {
            std::cerr << "nira7-listen: the list of transmitters \"" << options_.transmitters
                      << "\": " << e.what() << "\n";
            return false;
        }
        for (const auto& problem : problems) {
            std::cerr << "nira7-listen: " << options_.transmitters << ", line " << problem.line
                      << ": " << problem.text << "\n";
        }
        return true;
    }

    // Missing is a matter of the clock: looked at every 10 s.
    void tickTransmitters() {
        transmitters_->tick(std::chrono::system_clock::now());
        publishStats(false);
        transmitterTick_ = MainThreadQueue::instance().postAfter(std::chrono::seconds(10), [this] {
            transmitterTick_.reset();
            tickTransmitters();
        });
    }

    std::string transmitterCounts() const {
        if (!transmitters_) {
            return {};
        }
        return ",\"transmitters_heard\":" + std::to_string(transmitters_->heard()) +
               ",\"transmitters_expected\":" + std::to_string(transmitters_->expected()) +
               ",\"transmitters_missing\":" +
               std::to_string(transmitters_->missing(std::chrono::system_clock::now()));
    }

    void summary(std::chrono::seconds listened) const {
        std::cerr << stamp() << " stopped\n"
                  << "listened_s: " << listened.count() << "\n"
                  << "test: " << tests_ << "\n"
                  << "event: " << events_ << "\n"
                  << "unrecognised: " << unrecognised_ << "\n"
                  << "dropped: " << dropped_ << "\n"
                  << "acks: " << acks_ << "\n"
                  << "gaps: " << gaps_ << "\n"
                  << "gap_s: " << gapTotal_.count() << "\n"
                  << "log_lines_lost: " << (log_ ? log_->lost() : 0) << "\n"
                  << "output_dropped: " << output_.dropped() << "\n";
        if (transmitters_) {
            std::cerr << "transmitters_heard: " << transmitters_->heard() << "\n"
                      << "transmitters_expected: " << transmitters_->expected() << "\n"
                      << "transmitters_missing: "
                      << transmitters_->missing(std::chrono::system_clock::now()) << "\n";
        }
#ifdef NIRA_HAVE_MQTT
        if (publisher_) {
            std::cerr << "mqtt_published: " << publisher_->published() << "\n"
                      << "mqtt_spooled: " << publisher_->spooled() << "\n"
                      << "mqtt_dropped: " << spool_->dropped() << "\n"
                      << "mqtt_damaged: " << spool_->damaged() << "\n"
                      << "mqtt_set_aside: " << spool_->setAsideCount() << "\n"
                      << "mqtt_left_in_spool: " << spool_->waiting() - spool_->unwritten() << "\n"
                      << "mqtt_lost_unwritten: " << spool_->unwritten() << "\n";
        }
#endif
    }

    // The counts as JSON, for the broker's retained "stats".
    std::string statsJson() const {
        return "{\"time\":\"" + stamp() + "\",\"test\":" + std::to_string(tests_) +
               ",\"event\":" + std::to_string(events_) +
               ",\"unrecognised\":" + std::to_string(unrecognised_) +
               ",\"dropped\":" + std::to_string(dropped_) + ",\"acks\":" + std::to_string(acks_) +
               ",\"gaps\":" + std::to_string(gaps_) + transmitterCounts() + publishingCounts() +
               "}";
    }

#ifdef NIRA_HAVE_MQTT
    // The publishing side's counts for "stats": what waits in the spool, what a full spool
    // dropped and what the broker refused.
    std::string publishingCounts() const {
        if (!spool_) {
            return {};
        }
        return ",\"published\":" + std::to_string(publisher_ ? publisher_->published() : 0) +
               ",\"spool_waiting\":" + std::to_string(spool_->waiting()) +
               ",\"spool_dropped\":" + std::to_string(spool_->dropped()) +
               ",\"set_aside\":" + std::to_string(spool_->setAsideCount());
    }

    bool publishing() const {
        return publisher_ != nullptr || !spoolFolder_.empty();
    }

    bool startPublishing(const std::vector<capture::ListEntry>& list) {
        const MqttOptions& m = options_.mqtt;
        if (m.url.empty()) {
            return true;
        }
        MqttSettings settings;
        settings.host = m.host;
        settings.port = m.port;
        settings.tls = m.tls;
        settings.caFile = m.caFile;
        settings.certFile = m.certFile;
        settings.keyFile = m.keyFile;
        settings.user = m.user;
        settings.password = m.password;
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
            std::snprintf(host, sizeof host, "%s", "localhost");
        }
        settings.prefix = m.topic.empty() ? defaultTopicPrefix(host, options_.port)
                                          : expandTopicPrefix(m.topic, host, options_.port);
        settings.drainRate = m.drainRate;
        if (const std::string fault = topicPrefixFault(settings.prefix); !fault.empty()) {
            std::cerr << "nira7-listen: " << fault << "\n";
            return false;
        }
        settings.clientId = "nira7-listen:" + settings.prefix;
        std::filesystem::path folder = m.spool;
        if (folder.empty()) {
            const std::filesystem::path spools = stateFolder() / "mqtt-spool";
            folder = spools / spoolFolderName(settings.prefix);
            adoptOldSpool(spools / oldSpoolFolderName(settings.prefix), folder);
        }
        settings_ = settings;
        spoolFolder_ = folder;
        // The transmitters' state is an output of its own, asked for with the list.
        if (!options_.transmitters.empty() || options_.missingAfter || !m.discovery.empty()) {
            transmitters_ = std::make_unique<TransmitterOutput>(TransmitterOutput::Settings{
                list, options_.missingAfter, settings.prefix, m.discovery, folder / "discovered"});
        }
        return openSpoolAndPublish();
    }

    // Sixteen hex digits drawn once for the spool and kept in it.
    std::string installationTag() const {
        const std::filesystem::path file = spoolFolder_ / "client-id";
        std::string tag;
        std::ifstream(file) >> tag;
        if (tag.size() == 16 && tag.find_first_not_of("0123456789abcdef") == std::string::npos) {
            return tag;
        }
        tag = runTag() + runTag();
        std::ofstream(file) << tag << "\n";
        return tag;
    }

    // An earlier version's spool folder, named from the prefix with every other byte "_",
    // becomes this prefix's, so what it kept is published.
    static void adoptOldSpool(const std::filesystem::path& old, const std::filesystem::path& now) {
        std::error_code code;
        if (old == now || !std::filesystem::is_directory(old, code) ||
            std::filesystem::exists(now, code)) {
            return;
        }
        std::filesystem::rename(old, now, code);
        if (!code) {
            std::cerr << stamp() << " the spool folder \"" << old.string() << "\" is now \""
                      << now.string() << "\"\n";
        }
    }

    // The capture goes on whatever happens to the spool: one that cannot be had is said, and
    // asked for again every 30 s; publishing starts once it is had.
    bool openSpoolAndPublish() {
        spool_ = std::make_unique<Spool>(spoolFolder_, options_.mqtt.spoolBytes);
        spool_->setOwner(options_.port + ", process " + std::to_string(::getpid()));
        if (diskSync_) {
            spool_->willSync();
        }
        std::string error;
        if (!spool_->open(error)) {
            spool_.reset();
            if (error != spoolRefusal_) {
                spoolRefusal_ = error;
                std::cerr << stamp() << " " << error
                          << "; the receiver is answered and logged meanwhile, but nothing is "
                             "published until the spool can be had (asked again every 30 s)\n";
            }
            spoolRetry_ = MainThreadQueue::instance().postAfter(std::chrono::seconds(30), [this] {
                spoolRetry_.reset();
                openSpoolAndPublish();
            });
            return true;
        }
        if (!spoolRefusal_.empty()) {
            spoolRefusal_.clear();
            std::cerr << stamp() << " the spool is had now; publishing starts\n";
        }
        // The client id is the prefix's and this installation's: two listeners publishing under
        // one prefix from spools of their own do not take each other's connection.
        settings_.clientId = "nira7-listen:" + settings_.prefix + ":" + installationTag();
        const MqttSettings& settings = settings_;
        if (diskSync_) {
            diskSync_->add([spool = spool_.get(), folder = spoolFolder_.string()] {
                const int failure = spool->sync();
                return failure == 0
                           ? std::string()
                           : "the spool \"" + folder +
                                 "\" could not be forced to the disk: " + systemText(failure);
            });
        }
        publisher_ = std::make_unique<MqttPublisher>(settings, *spool_, [](std::string sentence) {
            MainThreadQueue::instance().post([sentence = std::move(sentence)] {
                std::cerr << stamp() << " " << sentence << "\n";
            });
        });
        publisher_->setStats(statsJson());
        publisher_->start();
        if (transmitters_) {
            transmitters_->attach(*publisher_);
        }
        return true;
    }

    void publishMessage(receiver::ChunkKind kind, const std::string& json) {
        if (!publisher_) {
            return;
        }
        std::string error;
        const bool written = publisher_->publish(kindName(kind), json, error);
        if (!written && !spoolFailed_) {
            std::cerr << stamp() << " " << error
                      << " (messages are kept in memory and written when the disk takes them)\n";
        } else if (written && spoolFailed_) {
            std::cerr << stamp()
                      << " the spool is written again; nothing kept in memory meanwhile "
                         "is left out\n";
        }
        spoolFailed_ = !written;
    }

    // A dropped chunk at once; the other counts at most once a minute.
    void publishStats(bool now) {
        if (!publisher_) {
            return;
        }
        const auto at = Clock::now();
        if (now || at - statsSent_ >= std::chrono::minutes(1)) {
            statsSent_ = at;
            publisher_->setStats(statsJson());
        }
    }

    void deviceState(const char* state) {
        if (publisher_) {
            publisher_->setDevice(state);
        }
    }

    void stopPublishing() {
        if (spoolRetry_) {
            MainThreadQueue::instance().cancel(*spoolRetry_);
            spoolRetry_.reset();
        }
        if (!publisher_) {
            return;
        }
        publisher_->setStats(statsJson());
        publisher_->stop(std::chrono::seconds(3));
        // What its thread said last.
        MainThreadQueue::instance().pumpFor(std::chrono::milliseconds(0));
        const std::size_t left = spool_->waiting();
        const std::size_t unwritten = spool_->unwritten();
        if (left > unwritten) {
            std::cerr << stamp() << " " << messagesWait(left - unwritten)
                      << " in the spool for the broker; the next run publishes "
                      << (left - unwritten == 1 ? "it" : "them") << "\n";
        }
        if (spool_->recovering()) {
            std::cerr << stamp()
                      << " what an earlier run left in the spool was not read back yet; the "
                         "next run publishes it\n";
        }
        if (unwritten > 0) {
            std::cerr << stamp() << " " << unwritten
                      << " messages the broker never took could not be written to the spool "
                         "(its disk refused them) and are lost"
                      << (log_ ? "; the log file has them" : "") << "\n";
        }
    }
#else
    static std::string publishingCounts() {
        return {};
    }
    static bool publishing() {
        return false;
    }
    static bool startPublishing(const std::vector<capture::ListEntry>&) {
        return true;
    }
    void publishMessage(receiver::ChunkKind, const std::string&) {}
    void publishStats(bool) {}
    void deviceState(const char*) {}
    void stopPublishing() {}
#endif

    const Options& options_;
    OutputLines output_{stdout};
    bool outputDropTold_ = false;
    bool outputFinished_ = true;
    serial::TBComPort port_;
    std::unique_ptr<LogFile> log_;
    bool logFailed_ = false;
    bool lost_ = false;       // the watcher ended for another reason than a lost device
    bool reopening_ = false;  // the listener itself opens the port once a second
    DWORD openError_ = ERROR_SUCCESS;
    std::string openFailure_;
    DWORD lastReason_ = ERROR_SUCCESS;  // the last reason told while waiting
    bool waiting_ = false;              // for a lost device to come back
    bool nothingToWaitFor_ = false;     // the lost device cannot be told again when it comes
    std::string lostReason_;
    Clock::time_point gapStart_;
    long tests_ = 0;
    long events_ = 0;
    long unrecognised_ = 0;
    long dropped_ = 0;
    long acks_ = 0;
    long gaps_ = 0;
    std::chrono::seconds gapTotal_{0};
    unsigned long number_ = 0;  // messages in this run, for their ids
    const std::string runTag_ = runTag();
#ifdef NIRA_HAVE_MQTT
    MqttSettings settings_;
    std::filesystem::path spoolFolder_;
    std::unique_ptr<Spool> spool_;
    std::string spoolRefusal_;  // the last told
    std::optional<MainThreadQueue::TimerId> spoolRetry_;
    std::unique_ptr<MqttPublisher> publisher_;
    bool spoolFailed_ = false;
    Clock::time_point statsSent_;
#endif
    std::unique_ptr<TransmitterOutput> transmitters_;
    std::optional<MainThreadQueue::TimerId> transmitterTick_;
    std::optional<MainThreadQueue::TimerId> stateFlush_;
    std::vector<std::unique_ptr<MessageOutput>> outputs_;
    // Last: gone before the log and the spool it forces.
    std::unique_ptr<DiskSync> diskSync_;
};

}  // namespace
}  // namespace nira::listen

int main(int argc, char** argv) {
    using namespace nira;
    const listen::Parsed parsed = listen::parseOptions(
        std::vector<std::string>(argv + 1, argv + argc),
        [](const char* name) -> std::optional<std::string> {
            // Read before any thread is started.
            if (const char* value = std::getenv(name)) {  // NOLINT(concurrency-mt-unsafe)
                return std::string(value);
            }
            return std::nullopt;
        });
    if (!parsed.options) {
        std::cerr << "nira7-listen: " << parsed.error << "\n";
        return 2;
    }
    for (const std::string& note : parsed.notes) {
        std::cerr << "nira7-listen: " << note << "\n";
    }
    const listen::Options& options = *parsed.options;
    if (options.help) {
        std::cout << listen::usage();
        return 0;
    }
    if (options.version) {
        std::cout << "nira7-listen 0.3\n";
        return 0;
    }
    platform::MainThreadQueue::instance().bindToCurrentThread();
    if (options.list) {
        std::vector<std::string> ports;
        try {
            serial::ListSerialPorts(ports);
        } catch (const std::exception& e) {
            std::cerr << "nira7-listen: cannot list the ports: " << listen::ownWords(e.what())
                      << "\n";
            return 1;
        }
        for (const auto& port : ports) {
            std::cout << port << "\n";
        }
        return 0;
    }
    listen::Listener listener(options);
    const int status = listener.run();
    if (!listener.outputFinished()) {
        // Its writer waits on a reader that reads nothing; the usual exit would flush standard
        // output and wait with it.
        std::cerr.flush();
        std::_Exit(status);
    }
    return status;
}
