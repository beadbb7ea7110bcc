#pragma once
// A real MQTT broker (Debian's mosquitto) on a free local port, stopped and started again at will,
// and a subscriber that keeps what arrives. For the listener's publishing tests and benchmark.
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"

namespace nira::testing {

inline const char* mosquittoExe() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

// A port nobody listens on at the moment of asking.
inline int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        ::close(s);
        throw std::runtime_error("no free port");
    }
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool portAnswers(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// The broker, its configuration written into `folder`: a plain listener, and with `tls` lines
// (cafile, certfile, keyfile) a TLS one besides; with a password file, no anonymous logins.
// Persistent, so a subscriber's session outlives a restart.
class Broker {
  public:
    // What it queues for a subscriber that is slow or away. Mosquitto's own default is 1,000: a
    // backlog beyond that would be dropped at the broker, silently, whatever the listener did.
    static constexpr int kMaxQueuedMessages = 100000;

    explicit Broker(std::filesystem::path folder, const std::vector<std::string>& tls = {},
                    const std::string& passwordFile = {})
        : folder_(std::move(folder)), port_(freePort()) {
        std::ofstream conf(folder_ / "mosquitto.conf");
        // Started by root, it would become the user "mosquitto", who may not enter the test's
        // folder.
        if (const passwd* me = ::getpwuid(::geteuid()); me != nullptr && ::geteuid() == 0) {
            conf << "user " << me->pw_name << "\n";
        }
        conf << "persistence true\npersistence_location " << folder_.string() << "/\n"
             << "log_dest stderr\nlog_type error\n"
             << "allow_anonymous " << (passwordFile.empty() ? "true" : "false") << "\n"
             << "max_queued_messages " << kMaxQueuedMessages << "\n";
        if (!passwordFile.empty()) {
            conf << "password_file " << passwordFile << "\n";
        }
        conf << "listener " << port_ << " 127.0.0.1\n";
        if (!tls.empty()) {
            tlsPort_ = freePort();
            conf << "listener " << tlsPort_ << " 127.0.0.1\n";
            for (const auto& line : tls) {
                conf << line << "\n";
            }
        }
    }
    ~Broker() { stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // A line for its configuration, before start().
    void configure(const std::string& line) const {
        std::ofstream(folder_ / "mosquitto.conf", std::ios::app) << line << "\n";
    }
    // Ends it as a power cut or a crash would: nothing saved, no goodbye to its peers.
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string tlsUrl() const { return "mqtts://127.0.0.1:" + std::to_string(tlsPort_); }

    // Starts it and waits until its port answers; false if it did not come up in 10 s.
    bool start() {
        const Child child =
            spawnChild(mosquittoExe(), {"-c", (folder_ / "mosquitto.conf").string()}, false);
        pid_ = child.pid;
        ::close(child.out);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (portAnswers(port_) && (tlsPort_ == 0 || portAnswers(tlsPort_))) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Ends it as a service manager would (it saves its sessions first).
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    std::filesystem::path folder_;
    int port_;
    int tlsPort_ = 0;
    pid_t pid_ = -1;
};

// A subscriber to `filter` with a session the broker keeps, so nothing published while it is
// away (a broker restart) is missed.
class Subscriber {
  public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        std::chrono::system_clock::time_point at;
    };

    Subscriber(int port, std::string filter, const std::string& id = "nira7-test-subscriber",
               const std::string& user = {}, const std::string& password = {})
        : filter_(std::move(filter)) {
        mosquitto_lib_init();
        client_ = mosquitto_new(id.c_str(), false, this);
        if (!user.empty()) {
            mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
        }
        mosquitto_connect_callback_set(client_, [](mosquitto* c, void* self, int rc) {
            if (rc == 0) {
                auto* me = static_cast<Subscriber*>(self);
                mosquitto_subscribe(c, nullptr, me->filter_.c_str(), 1);
            }
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            auto* me = static_cast<Subscriber*>(self);
            std::lock_guard lock(me->mutex_);
            me->subscribed_ = true;
            me->changed_.notify_all();
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* me = static_cast<Subscriber*>(self);
                Message message{m->topic,
                                std::string(static_cast<const char*>(m->payload),
                                            static_cast<std::size_t>(m->payloadlen)),
                                m->retain, std::chrono::system_clock::now()};
                std::lock_guard lock(me->mutex_);
                me->messages_.push_back(std::move(message));
                me->changed_.notify_all();
            });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("the subscriber cannot reach the broker");
        }
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; });
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    std::vector<Message> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // Waits until `done` holds for what arrived so far, or the time is up. `done` sees a copy of
    // its own, taken over only what is new and looked at no more often than every 20 ms, outside
    // the lock the library's thread takes for each arrival: a backlog of thousands arriving at
    // once is neither quadratic here nor held up at the broker.
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<Message> seen;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                seen.insert(seen.end(),
                            messages_.begin() + static_cast<std::ptrdiff_t>(seen.size()),
                            messages_.end());
            }
            if (done(seen)) {
                return true;
            }
            std::unique_lock lock(mutex_);
            if (!changed_.wait_until(lock, deadline,
                                     [&] { return messages_.size() > seen.size(); })) {
                return false;
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

  private:
    std::string filter_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

// The payloads that arrived on `topic`.
inline std::vector<std::string> payloadsOn(const std::vector<Subscriber::Message>& messages,
                                           const std::string& topic) {
    std::vector<std::string> out;
    for (const auto& m : messages) {
        if (m.topic == topic) {
            out.push_back(m.payload);
        }
    }
    return out;
}

}  // namespace nira::testing
