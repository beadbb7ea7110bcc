#include "simulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "platform/registry.hpp"
#include "receiver/message.hpp"

namespace nira::sim {

namespace {

// An acknowledgement later than this is not coming: the message counts as missed.
constexpr auto kAckGiveUp = std::chrono::seconds(5);
// A byte on the wire: start bit, eight data bits, stop bit.
constexpr long long kBitsPerByte = 10;
// drain: how long the port must stay empty, and how often it is looked at meanwhile.
constexpr auto kDrainQuiet = std::chrono::milliseconds(60);
constexpr auto kDrainCheck = std::chrono::milliseconds(5);

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

double percentile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

}  // namespace

void Stats::print(std::ostream& out) const {
    out << "sent_test: " << sentTest << "\n"
        << "sent_event: " << sentEvent << "\n"
        << "sent_other: " << sentOther << "\n"
        << "acks: " << acks << "\n"
        << "acks_missing: " << acksMissing << "\n"
        << "acks_unexpected: " << acksUnexpected << "\n"
        << "received_other: " << receivedOther << "\n"
        << "unheard: " << unheard << "\n"
        << std::fixed << std::setprecision(2) << "ack_p50_ms: " << percentile(ackMs, 0.50) << "\n"
        << "ack_p99_ms: " << percentile(ackMs, 0.99) << "\n"
        << "ack_max_ms: " << percentile(ackMs, 1.0) << "\n"
        << std::defaultfloat << std::flush;
}

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      random_(options_.seed != 0 ? options_.seed : std::random_device{}()) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        fail("cannot open a pseudo-terminal");
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        fail("cannot unlock the pseudo-terminal");
    }
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        fail("cannot name the pseudo-terminal");
    }
    portPath_ = name;
    // Holding the port end open keeps the line up between the analyser's Stop and Start.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        fail("cannot open the port end of the pseudo-terminal");
    }
    termios raw{};
    if (::tcgetattr(slave_, &raw) != 0) {
        fail("cannot read the line settings");
    }
    ::cfmakeraw(&raw);
    if (::tcsetattr(slave_, TCSANOW, &raw) != 0) {
        fail("cannot set raw mode");
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (options_.registerPort) {
        registerPort();
    }
}

Simulator::~Simulator() {
    unregisterPort();
    if (slave_ >= 0) {
        ::close(slave_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

void Simulator::registerPort() {
    using namespace platform;
    RegistryApi& registry = systemRegistry();
    ScopedKey key(registry);
    if (registry.RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_ALL_ACCESS, key.put(),
                                 nullptr) == ERROR_SUCCESS) {
        // A simulator that was killed leaves its entry behind; when its terminal number comes
        // back to us, the old entry goes.
        std::vector<std::string> stale;
        for (DWORD index = 0;; ++index) {
            char name[256];
            BYTE data[256];
            DWORD nameSize = sizeof name;
            DWORD dataSize = sizeof data;
            if (registry.RegEnumValueA(key.get(), index, name, &nameSize, nullptr, data,
                                       &dataSize) != ERROR_SUCCESS) {
                break;
            }
            if (portPath_ == reinterpret_cast<const char*>(data)) {
                stale.emplace_back(name);
            }
        }
        for (const auto& name : stale) {
            registry.RegDeleteValueA(key.get(), name.c_str());
        }
        valueName_ = "receiver-sim " + std::to_string(::getpid());
        registered_ =
            registry.RegSetValueExA(key.get(), valueName_.c_str(), REG_SZ,
                                    reinterpret_cast<const BYTE*>(portPath_.c_str()),
                                    static_cast<DWORD>(portPath_.size() + 1)) == ERROR_SUCCESS;
    }
    if (!registered_) {
        std::cerr << "receiver-sim: cannot register the port in " << registryStorePath()
                  << "; the analyser will not list it\n";
    }
}

void Simulator::unregisterPort() {
    using namespace platform;
    if (!registered_) {
        return;
    }
    registered_ = false;
    RegistryApi& registry = systemRegistry();
    ScopedKey key(registry);
    if (registry.RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_ALL_ACCESS, key.put(),
                                 nullptr) == ERROR_SUCCESS) {
        registry.RegDeleteValueA(key.get(), valueName_.c_str());
    }
}

std::optional<Step> Simulator::nextStep() {
    if (options_.waitOpen && !waitedOpen_) {
        waitedOpen_ = true;
        return Step{StepKind::WaitOpen, {}, kDefaultOpenLimitMs, 0};
    }
    switch (options_.mode) {
        case Options::Mode::Script:
            if (scriptAt_ < options_.script.size()) {
                return options_.script[scriptAt_++];
            }
            return std::nullopt;
        case Options::Mode::Load: {
            if (loadSent_ >= 2 * options_.count) {
                return std::nullopt;
            }
            const bool send = loadSent_++ % 2 == 0;
            if (!send) {
                const bool merge = options_.mergeAt == loadSent_ / 2 + 1;
                return Step{StepKind::Wait, {}, merge ? 0 : options_.intervalMs, 0};
            }
            Step step = demoStep();
            while (step.kind != StepKind::Event) {
                step = demoStep();
            }
            if (options_.transmitters > 0) {
                // ">" ST ID ID ID DT D1 XX XX CS: a site of that many, each in turn.
                const auto id = static_cast<unsigned>((loadSent_ / 2) % options_.transmitters + 1);
                step.bytes[2] = static_cast<std::uint8_t>(id >> 16);
                step.bytes[3] = static_cast<std::uint8_t>(id >> 8);
                step.bytes[4] = static_cast<std::uint8_t>(id);
                std::uint8_t sum = 0;
                for (std::size_t i = 1; i + 1 < step.bytes.size(); ++i) {
                    sum = static_cast<std::uint8_t>(sum + step.bytes[i]);
                }
                step.bytes.back() = sum;
            }
            return step;
        }
        case Options::Mode::Demo:
            return demoStep();
    }
    return std::nullopt;
}

// A plausible receiver: a handful of transmitters sending events, a test message now and then,
// and once in a while noise on the line. Every other step is a pause.
Step Simulator::demoStep() {
    const auto byte = [this] { return static_cast<std::uint8_t>(random_() & 0xFF); };
    if (demoTick_++ % 2 == 1) {
        return Step{StepKind::Wait, {}, 800 + static_cast<int>(random_() % 1700), 0};
    }
    Step step;
    const auto roll = random_() % 12;
    if (roll == 0) {
        step.kind = StepKind::Raw;
        const std::size_t size = 4 + random_() % 5;  // 4 to 8: never a message length
        for (std::size_t i = 0; i < size; ++i) {
            step.bytes.push_back(byte());
        }
        if (step.bytes[0] == static_cast<std::uint8_t>(receiver::kLeadIn)) {
            step.bytes[0] = '?';
        }
        return step;
    }
    step.bytes.push_back(static_cast<std::uint8_t>(receiver::kLeadIn));
    if (roll <= 2) {
        step.kind = StepKind::Test;
        const auto value = static_cast<std::uint8_t>(demoTick_ / 2);
        step.bytes.insert(step.bytes.end(), {value, static_cast<std::uint8_t>(0xFF - value)});
        return step;
    }
    // Transmitters with fixed identities; status, data and the code word vary.
    static constexpr std::uint8_t kIds[][3] = {
        {0x12, 0x34, 0x56}, {0xA5, 0x0F, 0xC3}, {0x00, 0xFF, 0x55}, {0x7E, 0x81, 0x24}};
    const auto& id = kIds[random_() % 4];
    step.kind = StepKind::Event;
    step.bytes.insert(step.bytes.end(),
                      {static_cast<std::uint8_t>(0x10 + random_() % 4), id[0], id[1], id[2],
                       static_cast<std::uint8_t>(random_() % 3), byte(), byte(), byte()});
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < step.bytes.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum + step.bytes[i]);
    }
    step.bytes.push_back(sum);
    return step;
}

void Simulator::readAcknowledgements() {
    char buffer[512];
    while (true) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        const auto now = Clock::now();
        heardFrom_ = true;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != receiver::kAcknowledgement[0]) {
                ++stats_.receivedOther;
                continue;
            }
            ++stats_.acks;
            const AckMatch match = matchAcknowledgement(owed_, now, receiver::kArrivalWait);
            stats_.acksMissing += match.missed;
            if (!match.delay) {
                ++stats_.acksUnexpected;
                continue;
            }
            stats_.ackMs.push_back(std::chrono::duration<double, std::milli>(*match.delay).count());
        }
    }
}

void Simulator::expireOwed(Clock::time_point now) {
    while (!owed_.empty() && now - owed_.front().last > kAckGiveUp) {
        owed_.pop_front();
        ++stats_.acksMissing;
    }
}

void Simulator::Progress::wakeAt(Clock::time_point t) {
    if (!wake || t < *wake) {
        wake = t;
    }
}

void Simulator::beginNextStep(Clock::time_point now) {
    current_ = nextStep();
    stepStart_ = now;
    sent_ = 0;
    drain_ = DrainWatch{};
    if (current_ && options_.mode == Options::Mode::Demo && !current_->bytes.empty()) {
        // A message still unread when the next is due has no listener (an analyser reads within
        // 40 ms); drop it rather than let the line fill up.
        int backlog = 0;
        if (::ioctl(slave_, FIONREAD, &backlog) == 0 && backlog > 0) {
            ::tcflush(slave_, TCIFLUSH);
            unread_.clear();
            stats_.unheard += static_cast<int>(owed_.size());
            owed_.clear();
        }
    }
}

void Simulator::missed(const std::string& what) {
    std::cerr << options_.scriptFile << ":" << current_->line << ": " << what << " within "
              << current_->milliseconds << " ms\n";
    missedExpectation_ = true;
}

Simulator::Clock::time_point Simulator::stepEnd() const {
    return stepStart_ + std::chrono::milliseconds(current_->milliseconds);
}

Simulator::Progress Simulator::advance(Clock::time_point now) {
    switch (current_->kind) {
        case StepKind::Wait:
            return pause(now);
        case StepKind::WaitOpen:
            return awaitOpen(now);
        case StepKind::Drain:
            return awaitDrain(now);
        case StepKind::ExpectAck:
            return awaitAcknowledgements(now);
        case StepKind::Test:
        case StepKind::Event:
        case StepKind::Raw:
            break;
    }
    return send(now);
}

Simulator::Progress Simulator::pause(Clock::time_point now) {
    Progress progress;
    progress.done = now >= stepEnd();
    progress.wakeAt(stepEnd());
    return progress;
}

Simulator::Progress Simulator::awaitOpen(Clock::time_point now) {
    Progress progress;
    // The analyser holds its port exclusively while it listens; a listener that does not
    // (another system's serial layer) says so by sending anything.
    int exclusive = 0;
    if ((::ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) || heardFrom_) {
        progress.done = true;
    } else if (now >= stepEnd()) {
        missed("nobody opened the port");
        progress.done = true;
    }
    progress.wakeAt(std::min(stepEnd(), now + std::chrono::milliseconds(10)));
    return progress;
}

Simulator::Progress Simulator::awaitDrain(Clock::time_point now) {
    Progress progress;
    // Drained: the analyser has read (the port is empty, or what it left there has not moved
    // since its read) and owes nothing, for long enough that another read would have shown.
    int backlog = -1;
    ::ioctl(slave_, FIONREAD, &backlog);
    if (backlog != drain_.backlog) {
        drain_.read = drain_.read || (drain_.backlog > backlog && drain_.backlog >= 0);
        drain_.backlog = backlog;
        drain_.stableSince = now;
    }
    const bool drained =
        settled() && (backlog == 0 || drain_.read) && now - drain_.stableSince >= kDrainQuiet;
    if (!drained && now >= stepEnd()) {
        missed("the port was not drained");
    }
    progress.done = drained || now >= stepEnd();
    progress.wakeAt(std::min(stepEnd(), now + kDrainCheck));
    return progress;
}

Simulator::Progress Simulator::awaitAcknowledgements(Clock::time_point now) {
    Progress progress;
    if (settled()) {
        progress.done = true;
    } else if (now >= stepEnd()) {
        missed("no acknowledgement");
        progress.done = true;
    }
    progress.wakeAt(stepEnd());
    return progress;
}

// Sends what is due of the step's bytes: all at once, or paced at the line's speed.
Simulator::Progress Simulator::send(Clock::time_point now) {
    Progress progress;
    const auto& bytes = current_->bytes;
    std::size_t due = bytes.size();
    if (byteTime_.count() > 0) {
        due = std::min<std::size_t>(bytes.size(),
                                    static_cast<std::size_t>((now - stepStart_) / byteTime_) + 1);
    }
    if (sent_ < due) {
        if (sent_ == 0) {
            firstSent_ = now;
        }
        const ssize_t n = ::write(master_, bytes.data() + sent_, due - sent_);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail("cannot write to the pseudo-terminal");
        }
        sent_ += n > 0 ? static_cast<std::size_t>(n) : 0;
        progress.wantWrite = sent_ < due;
    }
    if (sent_ == bytes.size()) {
        const auto last = Clock::now();
        const int owed = acknowledgementsOwed(unread_, bytes);
        owed_.insert(owed_.end(), static_cast<std::size_t>(owed), OwedAck{firstSent_, last});
        (current_->kind == StepKind::Test    ? stats_.sentTest
         : current_->kind == StepKind::Event ? stats_.sentEvent
                                             : stats_.sentOther)++;
        progress.done = true;
    } else if (!progress.wantWrite) {
        progress.wakeAt(stepStart_ + byteTime_ * static_cast<long>(sent_));
    }
    return progress;
}

// Sleeps until the next thing is due or the analyser answers (or the line can take more).
void Simulator::waitForLine(const Progress& progress) {
    pollfd watch{master_, static_cast<short>(POLLIN | (progress.wantWrite ? POLLOUT : 0)), 0};
    timespec timeout{};
    timespec* limit = nullptr;
    if (progress.wake) {
        const auto left = std::max(Clock::duration::zero(), *progress.wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        limit = &timeout;
    }
    sigset_t none;
    sigemptyset(&none);
    if (::ppoll(&watch, 1, limit, &none) > 0 && (watch.revents & POLLIN) != 0) {
        readAcknowledgements();
    }
}

int Simulator::run(const volatile std::sig_atomic_t& stop) {
    using std::chrono::milliseconds;
    Clock::time_point nextStats = Clock::now() + milliseconds(options_.statsEveryMs);
    std::optional<Clock::time_point> lingerUntil;
    byteTime_ = options_.rate > 0
                    ? std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000LL / options_.rate)
                    : std::chrono::nanoseconds(0);

    while (stop == 0) {
        const auto now = Clock::now();
        expireOwed(now);
        if (!current_ && !lingerUntil) {
            beginNextStep(now);
            if (!current_) {
                lingerUntil = now + milliseconds(options_.lingerMs);
            }
        }
        Progress progress;
        if (lingerUntil) {
            if (settled() || now >= *lingerUntil) {
                break;
            }
            progress.wakeAt(*lingerUntil);
        } else {
            progress = advance(now);
            if (progress.done) {
                current_.reset();
                continue;
            }
        }
        if (options_.statsEveryMs > 0) {
            if (now >= nextStats) {
                stats_.print(std::cout);
                std::cout << std::endl;
                nextStats = now + milliseconds(options_.statsEveryMs);
            }
            progress.wakeAt(nextStats);
        }
        if (!owed_.empty()) {
            progress.wakeAt(owed_.front().last + kAckGiveUp);
        }
        waitForLine(progress);
    }
    stats_.acksMissing += static_cast<int>(owed_.size());
    owed_.clear();
    const bool wrong = stats_.acksMissing > 0 || stats_.acksUnexpected > 0 || missedExpectation_;
    return options_.expectAcks && wrong ? 1 : 0;
}

}  // namespace nira::sim
