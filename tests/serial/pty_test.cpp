// The serial component on real pseudo-terminals: bytes go through the kernel, events arrive on
// the main thread. The test holds the device end (the master); the component opens the port end.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/pty_pair.hpp"
#include "platform/posix_device_calls.hpp"
#include "pump.hpp"
#include "serial/com_port.hpp"

namespace nira::serial {
namespace {

using nira::testing::messageOf;
using nira::testing::pumpFor;
using nira::testing::pumpUntil;
using Pty = nira::testing::PtyPair;
using nira::testing::useWindowTimeouts;

class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::MainThreadQueue::instance().bindToCurrentThread(); }
    Pty pty;
};

TEST_F(PtyTest, MessageArrivesOnTheMainThreadAndTheAckGoesBack) {
    TBComPort port;
    port.SetPort(pty.path());
    port.SetBaudRate(br4800);
    useWindowTimeouts(port);
    const std::string message(">\x00\x0A\x0D\xFF\x80\x11\x13\x3E\x7F", 10);
    std::string received;
    std::vector<std::int32_t> counts;
    std::vector<bool> onMainThread;
    std::int32_t acked = 0;
    port.OnRxChar = [&](TBComPort* sender, std::int32_t count) {
        counts.push_back(count);
        onMainThread.push_back(platform::MainThreadQueue::instance().isMainThread());
        std::string chunk;
        sender->ReadText(chunk, 400);
        received += chunk;
        if (received.size() == message.size()) {
            acked = sender->WriteText("<");
        }
    };
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(pty.send(message));
    ASSERT_TRUE(pumpUntil([&] { return received.size() >= message.size(); }));
    EXPECT_EQ(received, message);
    EXPECT_EQ(acked, 1);
    EXPECT_EQ(pty.receive(), "<");
    EXPECT_GT(counts.at(0), 0);
    EXPECT_EQ(onMainThread.at(0), true);
    EXPECT_TRUE(port.ClosePort());
}

// A device may send as soon as the port is held, before its line settings are applied: the
// bytes must come through as sent, not echoed, held for a line's end or turned CR to LF.
TEST_F(PtyTest, BytesSentAsSoonAsThePortIsHeldArriveAsSent) {
    platform::SerialApi& api = platform::systemSerialApi();
    const std::string name = "\\\\.\\" + pty.path();
    const platform::HANDLE handle = api.CreateFileA(name.c_str());
    ASSERT_NE(handle, platform::INVALID_HANDLE_VALUE);
    const std::string bytes(
        "\r\nA\x03\x7f\x1a\x04"
        "B\r",
        9);
    ASSERT_TRUE(pty.send(bytes));
    EXPECT_EQ(pty.receive(200), "") << "echoed";
    platform::COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 500;
    ASSERT_TRUE(api.SetCommTimeouts(handle, timeouts));
    char buffer[32] = {};
    platform::DWORD read = 0;
    ASSERT_TRUE(
        api.ReadFile(handle, buffer, static_cast<platform::DWORD>(bytes.size()), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), bytes);
    api.CloseHandle(handle);
}

// Bytes that came before the first watch began are announced to it: a message sent while the
// port was being opened is answered, not left for the next one to be read with.
TEST_F(PtyTest, BytesQueuedBeforeTheFirstWatchAreAnnounced) {
    TBComPort port;
    port.SetPort(pty.path());
    useWindowTimeouts(port);
    platform::SerialApi& api = platform::systemSerialApi();
    const std::string name = "\\\\.\\" + pty.path();
    const platform::HANDLE handle = api.CreateFileA(name.c_str());
    ASSERT_NE(handle, platform::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(pty.send("early"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(api.SetCommMask(handle, platform::EV_RXCHAR));
    platform::OVERLAPPED overlapped{};
    overlapped.hEvent = api.CreateEventA(platform::TRUE, platform::FALSE);
    platform::DWORD mask = 0;
    if (api.WaitCommEvent(handle, &mask, &overlapped) == platform::FALSE) {
        ASSERT_EQ(api.GetLastError(), platform::ERROR_IO_PENDING);
        ASSERT_EQ(api.WaitForSingleObject(overlapped.hEvent, 1000), platform::WAIT_OBJECT_0);
        platform::DWORD unused = 0;
        ASSERT_TRUE(api.GetOverlappedResult(handle, &overlapped, &unused, platform::FALSE));
    }
    EXPECT_EQ(mask & platform::EV_RXCHAR, platform::EV_RXCHAR);
    // A later mask starts from what is queued: those bytes are no news to it.
    ASSERT_TRUE(api.SetCommMask(handle, platform::EV_RXCHAR));
    if (api.WaitCommEvent(handle, &mask, &overlapped) == platform::FALSE) {
        EXPECT_EQ(api.WaitForSingleObject(overlapped.hEvent, 200), platform::WAIT_TIMEOUT);
    } else {
        ADD_FAILURE() << "the same bytes announced twice";
    }
    api.SetCommMask(handle, 0);
    api.CloseHandle(overlapped.hEvent);
    api.CloseHandle(handle);
}

TEST_F(PtyTest, ReadTextReturnsWhatWaitsOrNothingAfterTheTimeOut) {
    TBComPort port;
    port.SetPort(pty.path());
    useWindowTimeouts(port);
    port.OpenPort();
    std::string text = "stale";
    EXPECT_EQ(port.ReadText(text, 400), 0);
    EXPECT_EQ(text, "");

    // A run of 500 bytes: 400 now, the rest on the next read.
    std::string burst;
    for (int i = 0; i < 500; ++i) {
        burst.push_back(static_cast<char>(i));
    }
    ASSERT_TRUE(pty.send(burst));
    ASSERT_TRUE(pumpUntil([&] { return port.BytesWaiting() == 500; }));
    EXPECT_EQ(port.ReadText(text, 400), 400);
    EXPECT_EQ(text, burst.substr(0, 400));
    EXPECT_EQ(port.ReadText(text, 400), 100);
    EXPECT_EQ(text, burst.substr(400));
    port.ClosePort();
}

// With a MAXDWORD interval Windows hands out what is queued at once, whatever the totals; with
// nothing queued it waits for the first byte. The totals here are long enough to hang the test.
TEST_F(PtyTest, AMaxdwordIntervalReturnsQueuedBytesAtOnce) {
    constexpr std::int32_t kLong = 600'000;
    const struct {
        std::int32_t multiplier;
        std::int32_t constant;
    } cases[] = {{0, kLong}, {10, kLong}, {-1, kLong}};
    for (const auto& c : cases) {
        TBComPort port;
        port.SetPort(pty.path());
        TComTimeouts t;
        t.SetReadInterval(-1);
        t.SetReadTotalMultiplier(c.multiplier);
        t.SetReadTotalConstant(c.constant);
        port.SetTimeouts(t);
        ASSERT_TRUE(port.OpenPort());
        for (const std::string& bytes : {std::string("queued"), std::string("later")}) {
            const bool queued = bytes == "queued";
            if (queued) {
                ASSERT_TRUE(pty.send(bytes));
                ASSERT_TRUE(pumpUntil([&] { return port.BytesWaiting() == 6; }));
            }
            std::atomic<bool> done{false};
            std::string text;
            std::thread reader([&] {
                port.ReadText(text, 400);
                done = true;
            });
            if (!queued) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ASSERT_TRUE(pty.send(bytes));
            }
            const bool returned = pumpUntil([&] { return done.load(); }, std::chrono::seconds(20));
            if (!returned) {
                port.AbortTransfers();  // cuts the read short
            }
            reader.join();
            EXPECT_TRUE(returned) << c.multiplier << "/" << c.constant << ": " << bytes;
            EXPECT_EQ(text, bytes) << c.multiplier << "/" << c.constant;
        }
        port.ClosePort();
    }
}

// The modem-line wait is left by a signal; a program that blocks signals before it opens the port
// (its threads inherit the mask) must not make Stop wait for ever.
TEST_F(PtyTest, TheModemLineWaitLetsItsStopSignalThrough) {
    bool blockedAfter = true;
    std::thread opener([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        // A pseudo-terminal refuses the wait at once; the mask is what matters.
        platform::posix::systemDeviceCalls().ioctl(fd, TIOCMIWAIT, nullptr);
        ::close(fd);
        sigset_t now;
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        blockedAfter = sigismember(&now, SIGRTMIN + 2) == 1;  // the backend's stop signal
    });
    opener.join();
    EXPECT_FALSE(blockedAfter);
}

TEST_F(PtyTest, EveryRateOfTheTableCanBeSet) {
    TBComPort port;
    port.SetPort(pty.path());
    port.OpenPort();
    for (int rate = br110; rate <= br256000; ++rate) {
        EXPECT_EQ(messageOf([&] { port.SetBaudRate(static_cast<TBaudRate>(rate)); }),
                  "(no failure)")
            << kBaudRates[rate];
    }
    for (int parity = paNone; parity <= paSpace; ++parity) {
        EXPECT_EQ(messageOf([&] { port.SetParity(static_cast<TParity>(parity)); }), "(no failure)");
    }
    port.ClosePort();
}

TEST_F(PtyTest, BadPortNamesGiveFixedMessagesAndLeaveNothingOpen) {
    TBComPort holder;
    holder.SetPort(pty.path());
    ASSERT_TRUE(holder.OpenPort());

    const auto dir = std::filesystem::temp_directory_path() / "nira7-not-a-port";
    std::filesystem::create_directories(dir);
    const auto file = dir / "plain.txt";
    std::ofstream(file) << "x";

    struct Case {
        std::string name;
        int message;
    };
    for (const Case& c :
         {Case{pty.path(), cmPortBusy},  // held by another user of the port
          Case{"/dev/nira7-no-such-port", cmNoSuchPort}, Case{"nira7-no-such-port", cmNoSuchPort},
          Case{"", cmNoSuchPort}, Case{dir.string(), cmSetupCommFailed},
          Case{file.string(), cmSetupCommFailed}, Case{"/dev/null", cmSetupCommFailed}}) {
        TBComPort port;
        port.SetPort(c.name);
        EXPECT_EQ(messageOf([&] { port.OpenPort(); }), EComPort::Message(c.message)) << c.name;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.DeviceHandle(), platform::INVALID_HANDLE_VALUE);
    }
    std::filesystem::remove_all(dir);
    holder.ClosePort();

    // Once released, the port opens again.
    TBComPort again;
    again.SetPort(pty.path());
    EXPECT_TRUE(again.OpenPort());
}

TEST_F(PtyTest, ClosePortDuringAPendingDeliveryCompletes) {
    TBComPort port;
    port.SetPort(pty.path());
    useWindowTimeouts(port);
    std::string got;
    port.OnRxChar = [&](TBComPort* sender, std::int32_t) {
        std::string chunk;
        sender->ReadText(chunk, 400);
        got += chunk;
    };
    port.OpenPort();
    ASSERT_TRUE(pty.send(">ab"));
    // Handed over, not yet run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!platform::MainThreadQueue::instance().hasPending() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(platform::MainThreadQueue::instance().hasPending());
    EXPECT_TRUE(port.ClosePort());
    EXPECT_EQ(got, ">ab");
}

TEST_F(PtyTest, DeviceEndClosingWhileListeningEndsTheWatcherAndIsReported) {
    TBComPort port;
    port.SetPort(pty.path());
    std::vector<std::string> reports;
    port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            reports.emplace_back(ex.what());
        }
    };
    port.OnRxChar = [](TBComPort*, std::int32_t) {};
    port.OpenPort();
    pumpFor(std::chrono::milliseconds(20));
    pty.closeMaster();
    // The report is handed to the main thread after the watcher ends.
    ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished() && !reports.empty(); }));
    EXPECT_EQ(reports, std::vector<std::string>{DeviceLostMessage(pty.path())});
    EXPECT_TRUE(port.IsOpen());
    // Stop on a vanished device: the line steps are skipped and the port is let go.
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), "(no failure)");
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PtyTest, StopCuttingShortAReadOnTheWatcherThreadIsNoFailure) {
    TBComPort port;
    port.SetPort(pty.path());
    port.SetSyncMethod(smNone);
    TComTimeouts slow;  // the handler's read waits long for more bytes
    slow.SetReadInterval(0);
    slow.SetReadTotalMultiplier(0);
    slow.SetReadTotalConstant(10000);
    port.SetTimeouts(slow);
    std::atomic<bool> reading{false};
    std::atomic<int> reports{0};
    port.OnRxChar = [&](TBComPort* sender, std::int32_t) {
        reading = true;
        std::string chunk;
        sender->ReadText(chunk, 400);
    };
    port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr) { ++reports; };
    ASSERT_TRUE(port.OpenPort());
    ASSERT_TRUE(pty.send(">a"));
    ASSERT_TRUE(pumpUntil([&] { return reading.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), "(no failure)");
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(reports.load(), 0);
}

TEST_F(PtyTest, LineSettingsPassErroredBytesOnAndRefuseWhatWindowsRefuses) {
    TBComPort port;
    port.SetPort(pty.path());
    port.SetParity(paEven);
    ASSERT_TRUE(port.OpenPort());
    // No input parity check: a byte with a parity error reaches the reader as itself, not 0x00.
    const int fd = ::open(pty.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK | IGNPAR | ISTRIP), 0U);

    port.SetByteSize(bs5);
    EXPECT_EQ(messageOf([&] { port.SetStopBits(sb1_5); }), "(no failure)");
    EXPECT_EQ(messageOf([&] { port.SetStopBits(sb2); }), EComPort::Message(cmSetCommStateFailed));
    EXPECT_EQ(messageOf([&] { port.SetByteSize(bs8); }), "(no failure)");
    EXPECT_EQ(messageOf([&] { port.SetStopBits(sb1_5); }), EComPort::Message(cmSetCommStateFailed));
    port.ClosePort();
}

}  // namespace
}  // namespace nira::serial
