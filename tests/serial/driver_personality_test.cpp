// The serial component on the driver personalities of the common adapters: the same scenario on
// each, from data arrival to the adapter being pulled and plugged back in.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <filesystem>

#include "../support/driver_double.hpp"
#include "../support/scoped_env.hpp"
#include "../support/temp_dir.hpp"
#include "platform/posix_serial.hpp"
#include "pump.hpp"
#include "serial/com_port.hpp"

namespace nira::serial {
namespace {

using nira::testing::DriverDouble;
using nira::testing::messageOf;
using nira::testing::Personality;
using nira::testing::pumpFor;
using nira::testing::pumpUntil;
using nira::testing::useWindowTimeouts;

}  // namespace
}  // namespace nira::serial

namespace nira::testing {
void PrintTo(const Personality& p, std::ostream* out) {
    *out << p.name;
}
}  // namespace nira::testing

namespace nira::serial {
namespace {

int openDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++n;
        }
        closedir(dir);
    }
    return n;
}

// Whether this process has `path` open.
bool holds(const std::string& path) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        // A pseudo-terminal whose device end is gone reads "/dev/pts/N (deleted)".
        found = found || (n > 0 && std::string(target).rfind(path, 0) == 0);
    }
    closedir(dir);
    return found;
}

std::string whatOf(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    }
}

class DriverTest : public ::testing::TestWithParam<Personality> {
  protected:
    void SetUp() override {
        platform::MainThreadQueue::instance().bindToCurrentThread();
        fdsBefore = openDescriptors() - 1;  // less the device end, which each test pulls
        api = platform::posix::makeSerialApi(driver);
        port = std::make_unique<TBComPort>(*api);
        port->SetPort(driver.path());
        useWindowTimeouts(*port);
        port->OnRxChar = [this](TBComPort* sender, std::int32_t) {
            ++deliveries;
            std::string chunk;
            sender->ReadText(chunk, 400);
            received += chunk;
        };
        port->OnWatcherFailure = [this](TBComPort*, std::exception_ptr e) {
            reports.push_back(whatOf(e));
        };
    }
    void TearDown() override {
        port.reset();
        api.reset();
    }

    // Every delivery so far was seen, and nothing more comes.
    void settle() { pumpFor(std::chrono::milliseconds(60)); }

    DriverDouble driver{GetParam()};
    std::unique_ptr<platform::SerialApi> api;
    std::unique_ptr<TBComPort> port;
    int fdsBefore = 0;
    int deliveries = 0;
    std::string received;
    std::vector<std::string> reports;
};

TEST_P(DriverTest, ListensLosesTheDeviceAndListensAgain) {
    const Personality& p = GetParam();
    ASSERT_TRUE(port->OpenPort());

    // Data arrives: one delivery, every byte read.
    driver.send(">\x01\x02");
    ASSERT_TRUE(pumpUntil([&] { return received.size() == 3; })) << "no data on " << p.name;
    settle();
    EXPECT_EQ(deliveries, 1);
    EXPECT_EQ(received, ">\x01\x02");

    // A tail that lands after the handler's last read is announced on its own, also when it is
    // shorter than what was read.
    driver.onDrainedRead([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        driver.send("TL");
    });
    driver.send("ABCDEF");
    ASSERT_TRUE(pumpUntil([&] { return received.size() == 11; })) << "tail held back";
    EXPECT_EQ(received.substr(3), "ABCDEFTL");
    EXPECT_EQ(deliveries, 3);

    // Modem lines, where the driver has them.
    if (p.modemLines) {
        std::vector<std::string> seen;
        port->OnCTSChange = [&](TBComPort*, bool on) { seen.push_back(on ? "cts+" : "cts-"); };
        port->OnDSRChange = [&](TBComPort*, bool on) { seen.push_back(on ? "dsr+" : "dsr-"); };
        port->OnRLSDChange = [&](TBComPort*, bool on) { seen.push_back(on ? "cd+" : "cd-"); };
        port->OnRing = [&](TBComPort*) { seen.push_back("ring"); };
        // Each change while the backend waits for one, as a device changes its lines on its own
        // time; a change between two waits is the counters' business (see the ring below).
        const auto waiting = [&] { return pumpUntil([&] { return driver.modemWaiting(); }); };
        ASSERT_TRUE(waiting());
        driver.setLine(TIOCM_DSR, true);
        ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
        ASSERT_TRUE(waiting());
        driver.setLine(TIOCM_CD, true);
        ASSERT_TRUE(pumpUntil([&] { return seen.size() >= 2; }));
        ASSERT_TRUE(waiting());
        // A ring pulse: counted drivers keep one that is over before anyone looks.
        driver.setLine(TIOCM_RI, true);
        if (!p.countsModem) {
            // Without counters both edges must be seen: the rising one first.
            ASSERT_TRUE(waiting());
            pumpFor(std::chrono::milliseconds(30));
        }
        driver.setLine(TIOCM_RI, false);
        ASSERT_TRUE(pumpUntil([&] { return seen.size() >= 3; }));
        settle();
        EXPECT_EQ(seen, (std::vector<std::string>{"dsr+", "cd+", "ring"}));
        EXPECT_EQ(driver.outputs() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
    }

    // The adapter is pulled: the watcher ends, once, and says so.
    driver.vanish();
    ASSERT_TRUE(pumpUntil([&] { return port->Watcher()->finished(); }));
    settle();
    EXPECT_EQ(reports, std::vector<std::string>{DeviceLostMessage(driver.path())});
    EXPECT_TRUE(port->DeviceLost());
    EXPECT_FALSE(holds(driver.path())) << "the lost device is still held";
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_EQ(openDescriptors(), fdsBefore) << "a descriptor is still held";

    // Plugged back in: listening works again.
    driver.replug();
    port->SetPort(driver.path());
    ASSERT_TRUE(port->OpenPort());
    EXPECT_FALSE(port->DeviceLost());
    driver.send(">\x03");
    ASSERT_TRUE(pumpUntil([&] { return received.size() == 13; }));
    port->ClosePort();
    if (p.modemLines) {
        EXPECT_EQ(driver.outputs() & (TIOCM_DTR | TIOCM_RTS), 0) << "lines lowered at close";
    }
    EXPECT_EQ(reports.size(), 1U);
}

// What the queue held before the open, or before a purge, is no reason to keep quiet about the
// bytes that come after, however few.
TEST_P(DriverTest, OpenAndPurgeStartTheQueueAfresh) {
    std::vector<std::string> chunks;
    port->OnRxChar = [&](TBComPort* sender, std::int32_t) {
        std::string chunk;
        sender->ReadText(chunk, 400);
        chunks.push_back(chunk);
    };
    driver.send(">XY");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(port->OpenPort());
    driver.send(">AB");
    ASSERT_TRUE(pumpUntil([&] { return !chunks.empty(); }));
    EXPECT_EQ(chunks.front(), ">AB") << "nothing from before the open runs into it";

    bool read = false;
    port->OnRxChar = [&](TBComPort*, std::int32_t) { read = true; };  // leaves the bytes queued
    driver.send(">ABCDEFGH");
    ASSERT_TRUE(pumpUntil([&] { return read; }));
    read = false;
    ASSERT_EQ(api->PurgeComm(port->DeviceHandle(), platform::PURGE_RXCLEAR), platform::TRUE);
    driver.send("12");
    EXPECT_TRUE(pumpUntil([&] { return read; }, std::chrono::seconds(2)))
        << "two bytes after a purge of nine are news";
    port->ClosePort();
}

TEST_P(DriverTest, LineErrorsAreEventsAndTheBytesGoOn) {
    const Personality& p = GetParam();
    if (!p.icount) {
        GTEST_SKIP() << p.name << " tells no line errors";
    }
    port->SetParity(paEven);
    std::vector<TComErrors> errors;
    port->OnError = [&](TBComPort*, TComErrors e) { errors.push_back(e); };
    ASSERT_TRUE(port->OpenPort());
    driver.sendWithError('\x41', DriverDouble::LineError::Parity);
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty() && received.size() == 1; }));
    EXPECT_EQ(errors.front(), TComErrors{ceRxParity});
    EXPECT_EQ(received, "A") << "the byte itself, not a 0x00";
    driver.sendWithError('\x42', DriverDouble::LineError::Frame);
    ASSERT_TRUE(pumpUntil([&] { return errors.size() == 2 && received.size() == 2; }));
    EXPECT_EQ(errors.back(), TComErrors{ceFrame});
    port->ClosePort();
}

TEST_P(DriverTest, DeviceVanishingAtEveryStepLeavesNothingBehind) {
    // Vanish in the middle of a read.
    {
        driver.onDrainedRead([&] { driver.vanish(); });
        ASSERT_TRUE(port->OpenPort());
        driver.send(">x");
        ASSERT_TRUE(pumpUntil([&] { return port->Watcher()->finished(); }));
        settle();
        EXPECT_EQ(received, ">x");
        EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
        EXPECT_LE(reports.size(), 1U);
    }
    // Between open and the first wait: the watcher's first wait fails at once.
    {
        driver.replug();
        port->SetPort(driver.path());
        reports.clear();
        ASSERT_TRUE(port->OpenPort());
        driver.vanish();
        // Told once the main thread runs it; a report still queued at Stop would be retired.
        ASSERT_TRUE(pumpUntil([&] { return reports.size() == 1; }));
        EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
        EXPECT_EQ(reports.size(), 1U);
    }
    // In the middle of a write.
    {
        driver.replug();
        port->SetPort(driver.path());
        reports.clear();
        port->OnRxChar = [this](TBComPort* sender, std::int32_t) {
            driver.vanish();
            EXPECT_NE(messageOf([&] { sender->WriteText("<"); }), "(no failure)");
        };
        ASSERT_TRUE(port->OpenPort());
        driver.send(">y");
        ASSERT_TRUE(pumpUntil([&] { return port->Watcher()->finished(); }));
        EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
        EXPECT_LE(reports.size(), 1U);
    }
    // While a close is already running.
    {
        driver.replug();
        port->SetPort(driver.path());
        reports.clear();
        port->OnRxChar = nullptr;
        ASSERT_TRUE(port->OpenPort());
        std::thread puller([&] { driver.vanish(); });
        EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
        puller.join();
        EXPECT_FALSE(port->IsOpen());
        EXPECT_LE(reports.size(), 1U);
    }
    port.reset();
    api.reset();
    EXPECT_EQ(openDescriptors(), fdsBefore) << "a descriptor is still held";
}

// Bytes that land after the watcher looked at an empty queue and before it sleeps wake it: the
// sleep follows from that one look, not from a second one that sees them already there.
TEST_P(DriverTest, BytesLandingBetweenTheQueueLookAndTheSleepAreDelivered) {
    constexpr std::size_t kRounds = 20;
    // Each read arms the next: armed while the watcher waits for the handler, the hook fires at
    // the watcher's next look and sends one byte into the gap.
    port->OnRxChar = [this](TBComPort* sender, std::int32_t) {
        std::string chunk;
        sender->ReadText(chunk, 400);
        received += chunk;
        if (received.size() < kRounds) {
            driver.onEmptyQueueLook([this] { driver.send("T"); });
        }
    };
    ASSERT_TRUE(port->OpenPort());
    driver.send(">");
    EXPECT_TRUE(pumpUntil([&] { return received.size() == kRounds; }, std::chrono::seconds(1)))
        << "deaf after " << received.size() << " bytes";
    port->ClosePort();
}

// A device that answers each "<" at once with its next message, the way a receiver with queued
// events does, for thousands of messages: listening never stalls.
TEST_P(DriverTest, AReceiverAnsweringAtOnceNeverFindsTheListenerDeaf) {
    constexpr int kMessages = 1500;
    port->OnRxChar = [this](TBComPort* sender, std::int32_t) {
        std::string chunk;
        sender->ReadText(chunk, 400);
        received += chunk;
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            sender->WriteText("<");
        }
    };
    ASSERT_TRUE(port->OpenPort());
    std::atomic<bool> stop{false};
    std::thread device([&] {
        std::mt19937 random(20261211);
        for (int sent = 0; sent < kMessages && !stop;) {
            driver.send("M");
            ++sent;
            // Its "<", then the next message 0 to 1 ms later.
            std::string answer;
            while (answer.empty() && !stop) {
                answer = driver.receive(50);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
        }
    });
    std::size_t seen = 0;
    while (received.size() < kMessages) {
        if (!pumpUntil([&] { return received.size() > seen; }, std::chrono::seconds(2))) {
            break;
        }
        seen = received.size();
    }
    stop = true;
    device.join();
    EXPECT_EQ(received.size(), static_cast<std::size_t>(kMessages)) << "stalled";
    port->ClosePort();
}

// A rate the driver cannot make is refused at Start, not listened on with garbled bytes.
TEST_P(DriverTest, ARateTheDriverCannotMakeIsRefused) {
    const Personality& p = GetParam();
    const struct {
        TBaudRate rate;
        bool made;
    } cases[] = {
        {br14400, true},
        {br56000, !p.rateTable},  // 57600 is 2.9 % off
        {br57600, true},
        {br115200, true},
        {br128000, p.maxRate == 0 && !p.rateTable},
        {br256000, p.maxRate == 0 && !p.rateTable},
    };
    for (const auto& c : cases) {
        port->SetBaudRate(c.rate);
        const std::string result = messageOf([&] { port->OpenPort(); });
        EXPECT_EQ(result, c.made ? "(no failure)" : EComPort::Message(cmSetCommStateFailed))
            << p.name << " at " << kBaudRates[c.rate];
        EXPECT_EQ(port->IsOpen(), c.made);
        port->ClosePort();
    }
}

// A status call that fails once (a USB control transfer on ftdi_sio and cp210x) on an adapter
// that is still there is no loss: the message already queued is read. Failures that go on are
// one, told once what was queued has been read.
TEST_P(DriverTest, OneFailedStatusReadIsNoLossButOneThatLastsIs) {
    const int perLook = driver.statusCallsPerLook();
    if (perLook == 0) {
        GTEST_SKIP() << GetParam().name << " makes no status calls";
    }
    ASSERT_TRUE(port->OpenPort());
    driver.send(">1");
    ASSERT_TRUE(pumpUntil([&] { return received == ">1"; }));
    settle();
    driver.failStatusCalls(perLook);
    driver.send(">2");
    EXPECT_TRUE(pumpUntil([&] { return received == ">1>2"; })) << received;
    settle();
    EXPECT_TRUE(reports.empty()) << reports.front();
    EXPECT_TRUE(holds(driver.path()));
    driver.send(">3");
    ASSERT_TRUE(pumpUntil([&] { return received == ">1>2>3"; })) << received;

    driver.failStatusCalls(1 << 30);
    driver.send(">4");
    ASSERT_TRUE(pumpUntil([&] { return !reports.empty(); }));
    EXPECT_EQ(received, ">1>2>3>4");
    EXPECT_EQ(reports, std::vector<std::string>{DeviceLostMessage(driver.path())});
    EXPECT_FALSE(holds(driver.path()));
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverTest, ::testing::ValuesIn(nira::testing::kPersonalities),
                         [](const ::testing::TestParamInfo<Personality>& param) {
                             return std::string(param.param.name);
                         });

// A lost device is let go at once, and listened to again when it is back, without Stop and Start:
// under the chosen name, or under its stable identity when that name is gone. The chosen name is
// a link here, as /dev/ttyUSB0 is a node the kernel gives back.
class DriverReturnTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        std::filesystem::create_directory(dir / "by-id");
        link(dir / "ttyUSB0", driver.path());
        link(identity(), driver.path());
        port->SetPort((dir / "ttyUSB0").string());
        port->SetResumeAfterLoss(true);
        port->OnDeviceBack = [this](TBComPort*) { ++backs; };
    }
    static void link(const std::filesystem::path& at, const std::string& target) {
        std::filesystem::remove(at);
        std::filesystem::create_symlink(target, at);
    }
    std::filesystem::path identity() const {
        return dir / "by-id" / "usb-Maker_Adapter_A1B2-port0";
    }
    std::string portName() const { return (dir / "ttyUSB0").string(); }
    // The device end sends and the listener reads it.
    bool listening(const std::string& bytes) {
        const std::size_t before = received.size();
        driver.send(bytes);
        return pumpUntil([&] { return received.size() == before + bytes.size(); });
    }
    // Pulled: told once, let go at once.
    void pull() {
        const std::size_t told = reports.size();
        driver.vanish();
        ASSERT_TRUE(pumpUntil([&] { return reports.size() == told + 1; }));
        EXPECT_EQ(reports.back(), DeviceLostMessage(portName(), true));
        EXPECT_TRUE(port->IsOpen());
        EXPECT_FALSE(holds(driver.path()));
    }
    bool back(int expected) {
        return pumpUntil([&] { return backs == expected; }, std::chrono::seconds(5));
    }

    nira::testing::TempDir dir;
    nira::testing::ScopedEnv byId{"NIRA7_SERIAL_BY_ID", (dir / "by-id").string()};
    int backs = 0;
};

TEST_P(DriverReturnTest, ListeningGoesOnWhenTheDeviceIsBackUnderItsNameOrItsIdentity) {
    ASSERT_TRUE(port->OpenPort());
    EXPECT_EQ(port->DeviceIdentity(), identity().string());
    ASSERT_TRUE(listening(">1"));

    // Back under the same name (its by-id link leads there too, as the system makes it).
    pull();
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    ASSERT_TRUE(back(1)) << "not back under its name";
    ASSERT_TRUE(listening(">2"));

    // Back under another name: the chosen one is gone, the identity leads to it.
    pull();
    std::filesystem::remove(dir / "ttyUSB0");
    nira::testing::PtyPair holder;  // keeps the old number taken, as ttyUSB0 would stay held
    driver.replug();
    link(identity(), driver.path());
    ASSERT_TRUE(back(2)) << "not back under its identity";
    ASSERT_TRUE(listening(">3"));

    // The chosen name taken by another adapter while the receiver's stays away: said once and
    // left alone, unopened; listening goes on when the receiver's adapter is back.
    pull();
    std::filesystem::remove(identity());
    nira::testing::PtyPair other;
    link(dir / "ttyUSB0", other.path());
    ASSERT_TRUE(pumpUntil([&] { return reports.size() == 4; }, std::chrono::seconds(5)));
    EXPECT_EQ(reports.back(), AnotherDeviceMessage(portName(), other.path()));
    other.send("X");
    pumpFor(std::chrono::milliseconds(2500));
    EXPECT_EQ(reports.size(), 4U) << "told more than once";
    EXPECT_FALSE(holds(other.path()));
    EXPECT_TRUE(other.echoing()) << "another device was made raw";
    EXPECT_EQ(backs, 2);
    driver.replug();
    link(identity(), driver.path());
    ASSERT_TRUE(back(3));
    ASSERT_TRUE(listening(">4"));
    EXPECT_EQ(received.find('X'), std::string::npos);

    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_EQ(reports.size(), 4U);
}

// Whether a call waits for the main thread, without running it.
bool queuedWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!platform::MainThreadQueue::instance().hasPending()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Stop while a look for the lost device is due, or while a loss report waits for the main
// thread: neither runs inside Stop nor after it, and the port opens and listens again after.
TEST_P(DriverReturnTest, WorkLeftByAnOldOpeningIsRetiredAtStop) {
    // A look due at Stop, the device back meanwhile; nobody pumps until Stop.
    ASSERT_TRUE(port->OpenPort());
    pull();
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    std::this_thread::sleep_for(TBComPort::kReturnLook + std::chrono::milliseconds(300));
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_EQ(backs, 0) << "listening resumed inside Stop";
    EXPECT_FALSE(holds(driver.path()));
    pumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(backs, 0) << "looked after Stop";
    EXPECT_FALSE(holds(driver.path()));

    // A loss report waiting at Stop.
    ASSERT_TRUE(port->OpenPort());
    ASSERT_TRUE(listening(">1"));
    const std::size_t told = reports.size();
    driver.vanish();
    ASSERT_TRUE(queuedWithin(std::chrono::seconds(5)));
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_EQ(reports.size(), told) << "told inside Stop";
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    pumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(reports.size(), told) << "told after Stop";
    EXPECT_EQ(backs, 0) << "looked after Stop";

    ASSERT_TRUE(port->OpenPort());
    ASSERT_TRUE(listening(">2"));

    // The port destroyed with a loss report waiting (the window closed while listening).
    driver.vanish();
    ASSERT_TRUE(queuedWithin(std::chrono::seconds(5)));
    port.reset();
    pumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(reports.size(), told);
    EXPECT_FALSE(holds(driver.path()));
}

// The system makes a node before it gives it its group: a refusal that passes within a look or
// two is no reason to tell the operator to join a group.
TEST_P(DriverReturnTest, APermissionRefusedForAMomentIsNotTold) {
    ASSERT_TRUE(port->OpenPort());
    pull();
    driver.refuseOpens(EACCES);
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    pumpFor(std::chrono::milliseconds(1600));
    driver.refuseOpens(0);
    ASSERT_TRUE(back(1));
    EXPECT_EQ(reports.size(), 1U) << reports.back();
}

TEST_P(DriverReturnTest, ADeviceThatComesAndGoesLeaksNothingAndStopEndsTheWaiting) {
    ASSERT_TRUE(port->OpenPort());
    for (int cycle = 1; cycle <= 4; ++cycle) {
        pull();
        driver.replug();
        link(dir / "ttyUSB0", driver.path());
        link(identity(), driver.path());
        ASSERT_TRUE(back(cycle)) << "cycle " << cycle;
    }
    EXPECT_EQ(reports.size(), 4U);

    // Back without the right to open it, and it lasts: said once, and the waiting goes on.
    pull();
    driver.refuseOpens(EACCES);
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    ASSERT_TRUE(pumpUntil([&] { return reports.size() == 6; }, std::chrono::seconds(8)));
    EXPECT_EQ(reports.back(), PermissionDeniedMessage(portName()));
    pumpFor(std::chrono::milliseconds(2500));
    EXPECT_EQ(reports.size(), 6U) << "told more than once";
    driver.refuseOpens(0);
    ASSERT_TRUE(back(5));

    // Lost again; Stop while waiting goes back to idle quietly and looks no more.
    pull();
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
    EXPECT_FALSE(port->IsOpen());
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    pumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(backs, 5);
    EXPECT_FALSE(holds(driver.path()));
}

// The first loss's box stays up (its handler runs a loop of its own) while the device comes back
// and goes again three times: listening resumes each time, and no second box piles on.
TEST_P(DriverReturnTest, LossesWhileTheFirstBoxIsUpAddNoBoxes) {
    int boxes = 0;
    port->OnWatcherFailure = [&](TBComPort*, std::exception_ptr) {
        ++boxes;
        if (boxes > 1) {
            return;
        }
        for (int cycle = 1; cycle <= 3; ++cycle) {
            driver.replug();
            link(dir / "ttyUSB0", driver.path());
            link(identity(), driver.path());
            ASSERT_TRUE(back(cycle)) << "cycle " << cycle;
            ASSERT_TRUE(listening(">" + std::to_string(cycle)));
            driver.vanish();
            ASSERT_TRUE(pumpUntil([&] { return !holds(driver.path()) && port->DeviceLost(); }));
        }
    };
    ASSERT_TRUE(port->OpenPort());
    driver.vanish();
    ASSERT_TRUE(pumpUntil([&] { return backs == 3; }, std::chrono::seconds(20)));
    settle();
    EXPECT_EQ(boxes, 1);
    driver.replug();
    link(dir / "ttyUSB0", driver.path());
    link(identity(), driver.path());
    ASSERT_TRUE(back(4)) << "not back after the box was closed";
    EXPECT_EQ(messageOf([&] { port->ClosePort(); }), "(no failure)");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverReturnTest,
                         ::testing::Values(nira::testing::kPersonalities[1],
                                           nira::testing::kPersonalities[6]),
                         [](const ::testing::TestParamInfo<Personality>& param) {
                             return std::string(param.param.name);
                         });

// A pseudo-terminal reached only by its number is not waited for: the number goes to the next
// program that asks, whose terminal must not be taken. Behind a link the operator made, it is
// waited for until that link is made anew.
TEST(DriverReturnPty, APseudoTerminalIsFollowedOnlyThroughALinkMadeAnew) {
    platform::MainThreadQueue::instance().bindToCurrentThread();
    nira::testing::TempDir dir;
    const nira::testing::ScopedEnv byId("NIRA7_SERIAL_BY_ID", (dir / "by-id").string());
    auto driver = std::make_unique<DriverDouble>(nira::testing::kPersonalities[6]);
    auto api = platform::posix::makeSerialApi(*driver);
    TBComPort port(*api);
    useWindowTimeouts(port);
    port.SetResumeAfterLoss(true);
    std::vector<std::string> reports;
    int backs = 0;
    port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr e) { reports.push_back(whatOf(e)); };
    port.OnDeviceBack = [&](TBComPort*) { ++backs; };
    std::string received;
    port.OnRxChar = [&](TBComPort* sender, std::int32_t) {
        std::string chunk;
        sender->ReadText(chunk, 400);
        received += chunk;
    };

    const std::string number = driver->path();
    port.SetPort(number);
    ASSERT_TRUE(port.OpenPort());
    driver->vanish();
    ASSERT_TRUE(pumpUntil([&] { return !reports.empty(); }));
    EXPECT_EQ(reports.back(), DeviceLostMessage(number, false));
    EXPECT_FALSE(port.AwaitingReturn());
    // Another program's terminal gets the number, as the kernel hands out the lowest free one.
    std::vector<std::unique_ptr<nira::testing::PtyPair>> others;
    while (others.size() < 16 && (others.empty() || others.back()->path() != number)) {
        others.push_back(std::make_unique<nira::testing::PtyPair>());
    }
    pumpFor(std::chrono::milliseconds(2500));
    EXPECT_EQ(backs, 0);
    for (const auto& other : others) {
        EXPECT_FALSE(holds(other->path())) << other->path();
        EXPECT_TRUE(other->echoing()) << other->path() << " was made raw";
    }
    EXPECT_EQ(reports.size(), 1U);
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), "(no failure)");
    others.clear();

    // Behind the operator's link: the link left as it was leads to a number that may be anyone's;
    // made anew, it leads to the receiver.
    const auto link = dir / "receiver";
    std::filesystem::create_symlink(driver->path(), link);
    driver = std::make_unique<DriverDouble>(nira::testing::kPersonalities[6]);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(driver->path(), link);
    api = platform::posix::makeSerialApi(*driver);
    TBComPort linked(*api);
    useWindowTimeouts(linked);
    linked.SetResumeAfterLoss(true);
    linked.OnWatcherFailure = port.OnWatcherFailure;
    linked.OnDeviceBack = port.OnDeviceBack;
    linked.OnRxChar = port.OnRxChar;
    linked.SetPort(link.string());
    ASSERT_TRUE(linked.OpenPort());
    const std::string old = driver->path();
    driver->vanish();
    ASSERT_TRUE(pumpUntil([&] { return reports.size() == 2; }));
    EXPECT_EQ(reports.back(), DeviceLostMessage(link.string(), true));
    EXPECT_TRUE(linked.AwaitingReturn());
    nira::testing::PtyPair stranger;  // likely the old number, which the link still names
    pumpFor(std::chrono::milliseconds(2500));
    EXPECT_EQ(backs, 0);
    EXPECT_FALSE(holds(stranger.path()));
    EXPECT_TRUE(stranger.echoing());
    driver->replug();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(driver->path(), link);
    ASSERT_TRUE(pumpUntil([&] { return backs == 1; }, std::chrono::seconds(5)));
    driver->send(">1");
    EXPECT_TRUE(pumpUntil([&] { return received == ">1"; }));
    EXPECT_EQ(messageOf([&] { linked.ClosePort(); }), "(no failure)");
}

// A modem-line wait that the driver offers leaves nothing to poll: the watcher sleeps until a
// byte or a line change comes.
TEST(DriverIdle, ListeningOnADeviceWithModemLinesMakesNoWakeUps) {
    platform::MainThreadQueue::instance().bindToCurrentThread();
    DriverDouble driver(nira::testing::kPersonalities[0]);
    auto api = platform::posix::makeSerialApi(driver);
    TBComPort port(*api);
    port.SetPort(driver.path());
    port.OnCTSChange = [](TBComPort*, bool) {};
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(pumpUntil([&] { return driver.modemWaitsEntered() >= 1; }));
    pumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(driver.modemWaitsEntered(), 1) << "the modem wait was left without a change";
    port.ClosePort();
}

// Opening a device this user may not open says so, instead of calling the port busy.
TEST(DriverPermission, AForbiddenDeviceIsNotCalledBusy) {
    nira::testing::PtyPair pty;
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        // As an ordinary user: root may open anything.
        if (getuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
            const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
            if (::chmod(pty.path().c_str(), 0600) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
                _exit(3);
            }
        } else if (::chmod(pty.path().c_str(), 0) != 0) {
            _exit(3);
        }
        TBComPort port;
        port.SetPort(pty.path());
        const std::string message = messageOf([&] { port.OpenPort(); });
        (void)!::write(channel[1], message.data(), message.size());
        _exit(0);
    }
    ::close(channel[1]);
    std::string message;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) {
        message.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not become another user";
    EXPECT_EQ(message, PermissionDeniedMessage(pty.path()));
    EXPECT_NE(message, EComPort::Message(cmPortBusy));
}

}  // namespace
}  // namespace nira::serial
