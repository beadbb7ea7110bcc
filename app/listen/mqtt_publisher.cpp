#include "mqtt_publisher.hpp"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "listen_support.hpp"

namespace nira::listen {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Messages out and not yet taken by the broker: enough to keep a link busy, few enough that a
// backlog is sent in turns with what the receiver sends meanwhile.
constexpr std::size_t kWindow = 100;
constexpr auto kMaxBackoff = std::chrono::seconds(30);
// A connection that held this long was a good one: its loss is tried again at once. One that
// ends sooner keeps the back-off growing (a broker closing it at once, another client taking
// it over), so two that fight for it do so a few times a minute, not twice a second.
constexpr auto kHeldConnection = std::chrono::seconds(60);
// A connection the broker ended this soon is said to be probably taken over, once.
constexpr auto kShortLived = std::chrono::seconds(10);
constexpr auto kTick = milliseconds(1000);
// Retained topics (configs, states) a turn sends at most.
constexpr std::size_t kBurst = 400;
// A message the broker ended this many connections in a row over, never taking it, is set
// aside: a broker that refuses it (too big for its max_packet_size) would do so for ever, and
// everything behind it would wait.
constexpr int kRefusedLosses = 3;

std::string lowered(std::string text) {
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

// libmosquitto's library set-up, once per process.
void initLibrary() {
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)done;
}

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings, Spool& spool,
                             std::function<void(std::string)> tell)
    : settings_(std::move(settings)), spool_(spool), tell_(std::move(tell)) {
    initLibrary();
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
    }
}

MqttPublisher::~MqttPublisher() {
    if (thread_.joinable()) {
        stop(milliseconds(0));
    }
    destroyClient();
    if (wakeRead_ >= 0) {
        ::close(wakeRead_);
        ::close(wakeWrite_);
    }
}

void MqttPublisher::start() {
    thread_ = quietThread([this] {
        recover();
        run();
    });
}

void MqttPublisher::recover() {
    if (!spool_.recover(stopping_)) {
        return;  // stopped first: the next run reads it
    }
    const long back = spool_.recovered();
    const long damaged = spool_.damaged();
    if (damaged > 0) {
        tell_("the spool held " + std::to_string(damaged) +
              (damaged == 1 ? " damaged stretch" : " damaged stretches") + ", skipped; " +
              messagesWait(static_cast<std::size_t>(back)) +
              " in it, from an earlier run, to be published");
    } else if (back > 0) {
        tell_(messagesWait(static_cast<std::size_t>(back)) +
              " in the spool, from an earlier run, to be published");
    }
}

bool MqttPublisher::publish(std::string_view topic, std::string_view payload, std::string& error) {
    const bool written = spool_.append(topic, payload, error);
    if (connected_.load()) {
        wake();
    } else {
        ++spooled_;
    }
    return written;
}

void MqttPublisher::setDevice(std::string state) {
    {
        std::lock_guard lock(mutex_);
        device_ = std::move(state);
    }
    wake();
}

void MqttPublisher::setStats(std::string json) {
    {
        std::lock_guard lock(mutex_);
        stats_ = std::move(json);
    }
    wake();
}

void MqttPublisher::retain(std::string topic, std::string payload) {
    {
        std::lock_guard lock(mutex_);
        retained_[std::move(topic)] = std::move(payload);
    }
    // No wake-up of its own: the message that changed a state has woken the publisher, and
    // what is left goes at its next turn, within a second.
}

void MqttPublisher::sendNow(std::string topic, std::string payload) {
    if (!connected_.load()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        // A broker that does not keep up loses these, never the receiver's messages.
        if (now_.size() >= 1000) {
            return;
        }
        now_.emplace_back(std::move(topic), std::move(payload));
    }
    wake();
}

void MqttPublisher::retainAtEachConnection(std::size_t parts,
                                           std::function<Part(std::size_t part)> part) {
    {
        std::lock_guard lock(mutex_);
        partAt_ = std::move(part);
        parts_ = parts;
        connectionRetainedDue_ = true;
    }
    wake();
}

void MqttPublisher::stop(milliseconds limit) {
    if (!thread_.joinable()) {
        return;
    }
    stopBy_ = Clock::now() + limit;
    stopping_.store(true);
    wake();
    thread_.join();
}

void MqttPublisher::wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void MqttPublisher::waitWake(milliseconds limit) {
    pollfd p{wakeRead_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long>(limit.count(), 0))) > 0) {
        char drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
    }
}

std::string MqttPublisher::reasonOf(int result, int savedErrno, const std::string& tlsDetail) {
    switch (result) {
        case MOSQ_ERR_ERRNO:
            return savedErrno == 0 ? std::string("the connection failed")
                                   : lowered(systemText(savedErrno));
        case MOSQ_ERR_EAI:
            return "the broker's host name is not known (or no name server answers)";
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return "TLS: " + (tlsDetail.empty() ? std::string("the handshake failed") : tlsDetail);
        case MOSQ_ERR_CONN_LOST:
            return "the connection was lost";
        case MOSQ_ERR_KEEPALIVE:
            return "the broker stopped answering";
        case MOSQ_ERR_NO_CONN:
            return "the connection was closed";
        case MOSQ_ERR_PROTOCOL:
            return "the broker broke the protocol";
        default:
            return lowered(mosquitto_strerror(result));
    }
}

void MqttPublisher::onLog(mosquitto*, void* self, int level, const char* text) {
    auto* me = static_cast<MqttPublisher*>(self);
    if (level != MOSQ_LOG_ERR || text == nullptr) {
        return;
    }
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed": the words
    // after the last colon say it.
    std::string line = text;
    if (line.rfind("OpenSSL Error", 0) == 0 && me->tlsDetail_.empty()) {
        const std::size_t colon = line.rfind(':');
        me->tlsDetail_ = colon == std::string::npos ? line : line.substr(colon + 1);
        if (me->tlsDetail_.find("certificate verify failed") != std::string::npos) {
            me->tlsDetail_ +=
                std::string(" (the broker's certificate is not signed by ") +
                (me->settings_.caFile.empty() ? "a CA this system trusts" : "the CA given") +
                ", or is not for its name)";
        }
    }
}

void MqttPublisher::onConnect(mosquitto*, void* self, int result) {
    auto* me = static_cast<MqttPublisher*>(self);
    if (result != 0) {
        me->refused_ = result;
        return;
    }
    me->acked_ = true;
    me->connected_.store(true);
    me->connectedSince_ = Clock::now();
    me->lastReason_.clear();
    me->sentDevice_.clear();
    me->sentStats_.clear();
    {
        std::lock_guard lock(me->mutex_);
        me->connectionRetainedDue_ = static_cast<bool>(me->partAt_);
    }
    me->needOnline_ = true;
    const std::size_t waiting = me->spool_.waiting();
    if (!me->everConnected_) {
        me->tell_("publishing to the broker " + me->settings_.host + ":" +
                  std::to_string(me->settings_.port) + " under " + me->settings_.prefix +
                  (waiting > 0 ? "; " + std::to_string(waiting) +
                                     (waiting == 1 ? " message" : " messages") + " spooled before"
                               : std::string()));
    } else {
        const auto down =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - me->downSince_);
        me->tell_("the broker is reachable again after " + std::to_string(down.count()) +
                  " s; publishing " + std::to_string(waiting) + " spooled messages");
    }
    me->everConnected_ = true;
}

void MqttPublisher::onPublish(mosquitto*, void* self, int mid) {
    auto* me = static_cast<MqttPublisher*>(self);
    if (mid == me->offlineMid_) {
        me->offlineTaken_ = true;
        return;
    }
    if (me->burstOnItsWay_.erase(mid) > 0) {
        if (me->burstOnItsWay_.empty() && !me->burstLeft()) {
            releaseFreedMemory();  // the burst is the broker's: what it took is given back
        }
        return;
    }
    const auto found = me->inFlight_.find(mid);
    if (found != me->inFlight_.end()) {
        if (found->second.number == me->suspect_) {
            me->suspect_ = 0;
            me->suspectLosses_ = 0;
        }
        me->spool_.delivered(found->second.number);
        me->inFlight_.erase(found);
        ++me->published_;
    }
}

void MqttPublisher::destroyClient() {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    inFlight_.clear();
    burstOnItsWay_.clear();
    acked_ = false;
    connected_.store(false);
}

void MqttPublisher::suspect(const std::string& reason) {
    if (inFlight_.empty()) {
        suspect_ = 0;
        suspectLosses_ = 0;
        return;
    }
    const auto oldest = std::min_element(
        inFlight_.begin(), inFlight_.end(),
        [](const auto& a, const auto& b) { return a.second.number < b.second.number; });
    const Sent& sent = oldest->second;
    if (sent.number == suspect_) {
        ++suspectLosses_;
    } else {
        suspect_ = sent.number;
        suspectLosses_ = 1;
        suspectWhat_ =
            settings_.prefix + "/" + sent.topic + ", " + std::to_string(sent.bytes) + " bytes";
    }
    if (suspectLosses_ >= kRefusedLosses) {
        setAsideRecord(suspect_,
                       "the broker ended the connection " + std::to_string(suspectLosses_) +
                           " times in a row while it was on its way, never taking it (" + reason +
                           "); a broker's max_packet_size below its size does this");
        suspect_ = 0;
        suspectLosses_ = 0;
    }
}

void MqttPublisher::setAsideRecord(std::uint64_t number, const std::string& why) {
    spool_.setAside(number);
    tell_("a message (" + suspectWhat_ + ") is set aside: " + why + "; it is kept in \"" +
          (spool_.folder() / "set-aside").string() + "\" and the rest go on");
}

void MqttPublisher::lose(const std::string& reason, bool refused) {
    const bool wasConnected = acked_;
    const bool sending = !inFlight_.empty();
    if (wasConnected && !refused) {
        suspect(reason);
    }
    destroyClient();
    spool_.rewind();
    const auto now = Clock::now();
    const auto held = now - connectedSince_;
    if (wasConnected && held >= kHeldConnection) {
        backoff_ = std::chrono::seconds(1);
    }
    nextAttempt_ = now + backoff_;
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kMaxBackoff);
    // With nothing on its way the broker had no message to object to.
    if (wasConnected && !refused && !sending && held < kShortLived && !shortLivedTold_) {
        shortLivedTold_ = true;
        tell_("the broker ended the connection " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(held).count()) +
              " s after it was made: another client may be using the same client id (" +
              settings_.clientId + "), such as a copy of this machine's state; this is said once");
    }
    if (wasConnected) {
        downSince_ = now;
    }
    if (wasConnected || reason != lastReason_) {
        lastReason_ = reason;
        const std::size_t waiting = spool_.waiting();
        const std::string head = refused        ? "the broker refused the login: "
                                 : wasConnected ? "the broker connection is lost: "
                                                : "the broker is unreachable: ";
        tell_(head + reason + "; " + std::to_string(waiting) +
              (waiting == 1 ? " message" : " messages") + " spooled; trying again, at most every " +
              std::to_string(kMaxBackoff.count()) + " s");
    }
}

bool MqttPublisher::connect() {
    tlsDetail_.clear();
    refused_ = 0;
    errno = 0;
    client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        lose(errno == EINVAL ? "the MQTT library refuses the client id \"" + settings_.clientId +
                                   "\" (it takes UTF-8 text without control characters)"
                             : std::string("no memory for the connection"),
             false);
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, &MqttPublisher::onConnect);
    mosquitto_publish_callback_set(client_, &MqttPublisher::onPublish);
    mosquitto_log_callback_set(client_, &MqttPublisher::onLog);
    mosquitto_max_inflight_messages_set(client_, static_cast<unsigned>(kWindow));
    const std::string status = settings_.prefix + "/status";
    int rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
        rc = mosquitto_username_pw_set(
            client_, settings_.user.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
        const bool ownCa = !settings_.caFile.empty();
        rc = mosquitto_tls_set(
            client_, ownCa ? settings_.caFile.c_str() : nullptr, ownCa ? nullptr : "/etc/ssl/certs",
            settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
            settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            lose("the TLS files cannot be used (" + lowered(mosquitto_strerror(rc)) + ")", false);
            return false;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lose(reasonOf(rc, errno, tlsDetail_), false);
        return false;
    }
    errno = 0;
    rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port,
                                 static_cast<int>(settings_.keepAlive.count()));
    const int savedErrno = errno;
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING) {
        lose(reasonOf(rc, savedErrno, tlsDetail_), false);
        return false;
    }
    connectStarted_ = Clock::now();
    return true;
}

void MqttPublisher::pump() {
    if (needOnline_) {
        needOnline_ = false;
        const std::string topic = settings_.prefix + "/status";
        mosquitto_publish(client_, nullptr, topic.c_str(), 6, "online", 1, true);
    }
    std::string device;
    std::string stats;
    std::vector<std::pair<std::string, std::string>> retained;
    std::deque<std::pair<std::string, std::string>> now;
    {
        std::lock_guard lock(mutex_);
        device = device_;
        stats = stats_;
        // A turn's worth, while the broker keeps up: a burst goes out in turns, between which
        // the receiver's messages go, and never piles up in the library's queue.
        const std::size_t room =
            kBurst > burstOnItsWay_.size() ? kBurst - burstOnItsWay_.size() : 0;
        while (!retained_.empty() && retained.size() < room / 2) {
            auto node = retained_.extract(retained_.begin());
            retained.emplace_back(std::move(node.key()), std::move(node.mapped()));
        }
        burstRetained_ = !retained_.empty();
        now.swap(now_);
        if (connectionRetainedDue_) {
            connectionRetainedDue_ = false;
            connectionPartAt_ = partAt_;
            connectionParts_ = parts_;
            connectionPart_ = 0;
        }
    }
    const auto send = [this](const std::string& topic, const std::string& payload, bool retain) {
        int mid = 0;
        if (mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.empty() ? nullptr : payload.data(), 1,
                              retain) == MOSQ_ERR_SUCCESS &&
            retain) {
            burstOnItsWay_.insert(mid);
        }
    };
    while (connectionPart_ < connectionParts_ && burstOnItsWay_.size() < kBurst / 2) {
        for (const auto& [topic, payload] : connectionPartAt_(connectionPart_++)) {
            send(topic, payload, true);
        }
    }
    for (const auto& [topic, payload] : retained) {
        send(topic, payload, true);
    }
    for (const auto& [topic, payload] : now) {
        send(topic, payload, false);
    }
    if (!device.empty() && device != sentDevice_) {
        const std::string topic = settings_.prefix + "/device";
        if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(device.size()),
                              device.data(), 1, true) == MOSQ_ERR_SUCCESS) {
            sentDevice_ = device;
        }
    }
    if (!stats.empty() && stats != sentStats_) {
        const std::string topic = settings_.prefix + "/stats";
        if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(stats.size()),
                              stats.data(), 1, true) == MOSQ_ERR_SUCCESS) {
            sentStats_ = stats;
        }
    }
    if (inFlight_.size() >= kWindow) {
        return;
    }
    const std::size_t may = std::min(kWindow - inFlight_.size(), allowance(Clock::now()));
    if (may == 0) {
        return;
    }
    const std::vector<Spool::Record> records = spool_.take(may);
    tokens_ -= static_cast<double>(records.size());
    for (const Spool::Record& record : records) {
        const std::string topic = settings_.prefix + "/" + record.topic;
        int mid = 0;
        const int rc =
            mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(record.payload.size()),
                              record.payload.data(), 1, false);
        if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET) {
            suspectWhat_ = topic + ", " + std::to_string(record.payload.size()) + " bytes";
            setAsideRecord(record.number, "the MQTT library refuses to send it (" +
                                              lowered(mosquitto_strerror(rc)) + ")");
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            // Handed out but not sent: the next connection sends it again.
            failed_ = rc;
            return;
        }
        inFlight_[mid] = Sent{record.number, record.topic, record.payload.size()};
    }
}

std::size_t MqttPublisher::allowance(Clock::time_point now) {
    if (settings_.drainRate == 0) {
        return kWindow;
    }
    const double rate = settings_.drainRate;
    // A second's worth at most: after a quiet spell a burst, never a flood.
    tokens_ =
        std::min(rate, tokens_ + rate * std::chrono::duration<double>(now - tokensAt_).count());
    tokensAt_ = now;
    return tokens_ < 1 ? 0 : static_cast<std::size_t>(tokens_);
}

void MqttPublisher::run() {
    nextAttempt_ = Clock::now();
    tokensAt_ = nextAttempt_;
    tokens_ = settings_.drainRate;
    for (;;) {
        const auto now = Clock::now();
        if (stopping_.load()) {
            if (client_ == nullptr || !acked_ || now >= stopBy_) {
                break;
            }
            if (offlineMid_ < 0 && spool_.waiting() == 0 && inFlight_.empty()) {
                const std::string topic = settings_.prefix + "/status";
                mosquitto_publish(client_, &offlineMid_, topic.c_str(), 7, "offline", 1, true);
            }
            if (offlineTaken_) {
                mosquitto_disconnect(client_);
                mosquitto_loop_write(client_, 1);
                break;
            }
        }
        if (client_ == nullptr) {
            if (now < nextAttempt_) {
                const auto until =
                    stopping_.load() ? std::min(nextAttempt_, stopBy_) : nextAttempt_;
                waitWake(std::chrono::duration_cast<milliseconds>(until - now) + milliseconds(1));
                continue;
            }
            if (!connect()) {
                continue;
            }
        }
        if (acked_) {
            pump();
        }
        milliseconds timeout = kTick;
        if (!acked_) {
            timeout = std::min(timeout, std::chrono::duration_cast<milliseconds>(
                                            connectStarted_ + settings_.answerWait - now));
        }
        if (stopping_.load()) {
            timeout = std::min(timeout, std::chrono::duration_cast<milliseconds>(stopBy_ - now));
        }
        if (acked_ && burstLeft() && burstOnItsWay_.size() < kBurst / 2) {
            timeout = std::min(timeout, milliseconds(10));  // the rest at the next turn
        }
        if (acked_ && settings_.drainRate != 0 && tokens_ < 1 && inFlight_.size() < kWindow &&
            spool_.waiting() > inFlight_.size()) {
            // Held back by the drain rate: wake when the next may go.
            timeout = std::min(
                timeout,
                milliseconds(static_cast<long>(1 + (1 - tokens_) * 1000 / settings_.drainRate)));
        }
        const int fd = mosquitto_socket(client_);
        pollfd p[2] = {
            {fd, static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0)), 0},
            {wakeRead_, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(std::max<long>(timeout.count(), 0)));
        if ((p[1].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        int rc = MOSQ_ERR_SUCCESS;
        errno = 0;
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            rc = mosquitto_loop_read(client_, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && (p[0].revents & POLLOUT) != 0) {
            rc = mosquitto_loop_write(client_, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_misc(client_);
        }
        const int savedErrno = errno;
        if (refused_ != 0) {
            // "Connection Refused: not authorised.": the words after the colon.
            std::string words = mosquitto_connack_string(refused_);
            if (const std::size_t colon = words.find(": "); colon != std::string::npos) {
                words = words.substr(colon + 2);
            }
            if (!words.empty() && words.back() == '.') {
                words.pop_back();
            }
            if (refused_ == 4 || refused_ == 5) {
                words += " (look at the user name and password)";
            }
            lose(words, true);
            continue;
        }
        if (rc == MOSQ_ERR_SUCCESS && failed_ != 0) {
            rc = failed_;
        }
        failed_ = 0;
        if (rc != MOSQ_ERR_SUCCESS) {
            lose(reasonOf(rc, savedErrno, tlsDetail_), false);
            continue;
        }
        if (!acked_ && Clock::now() - connectStarted_ >= settings_.answerWait) {
            lose("the broker does not answer (no reply to the connection in " +
                     std::to_string(settings_.answerWait.count()) + " s)",
                 false);
        }
    }
    destroyClient();
}

}  // namespace nira::listen
