// Serial link figures: wake-up latency from a byte on the line to OnRxChar on the main thread
// (against a bare poll() on the same pty), CPU time while idle and after the device vanishes, and
// CPU time and wake-ups while a lost device is waited for.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_double.hpp"
#include "platform/main_thread.hpp"
#include "platform/posix_serial.hpp"
#include "serial/com_port.hpp"

using namespace nira;
using Clock = std::chrono::steady_clock;

namespace {

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Voluntary context switches of every thread of this process so far: each wake-up from a sleep
// is one. Preemptions (involuntary) are the shared machine's doing, not a wake-up of ours.
long contextSwitches() {
    long total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    return v[i];
}

void pumpFor(std::chrono::milliseconds span) {
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
        platform::MainThreadQueue::instance().pumpFor(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
    }
}

}  // namespace

int main() {
    platform::MainThreadQueue::instance().bindToCurrentThread();
    constexpr int kMessages = 1000;

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    ::close(slave);

    // OnRxChar latency through the watcher and the main thread.
    std::vector<double> wake;
    {
        serial::TBComPort port;
        port.SetPort(name);
        bool seen = false;
        Clock::time_point arrived;
        port.OnRxChar = [&](serial::TBComPort* sender, std::int32_t) {
            arrived = Clock::now();
            std::string chunk;
            sender->ReadText(chunk, 400);
            seen = true;
        };
        port.OpenPort();
        pumpFor(std::chrono::milliseconds(50));
        for (int i = 0; i < kMessages; ++i) {
            seen = false;
            const auto sent = Clock::now();
            (void)!::write(master, "x", 1);
            while (!seen) {
                platform::MainThreadQueue::instance().pumpFor(std::chrono::milliseconds(100));
            }
            wake.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
        }

        const double idleStart = cpuMs();
        pumpFor(std::chrono::seconds(10));
        std::printf("idle_cpu_ms_10s: %.1f\n", cpuMs() - idleStart);
        port.ClosePort();
    }

    // A bare poll() wake-up on the same pty, measured the same way.
    std::vector<double> polled;
    {
        const int fd = ::open(name, O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        std::atomic<bool> ready{false};
        std::atomic<long long> wokeAt{0};
        std::thread poller([&] {
            char buffer[64];
            for (int i = 0; i < kMessages; ++i) {
                ready.store(true);
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, -1);
                wokeAt.store(Clock::now().time_since_epoch().count());
                (void)!::read(fd, buffer, sizeof buffer);
            }
        });
        for (int i = 0; i < kMessages; ++i) {
            while (!ready.exchange(false)) {
                std::this_thread::yield();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // let it block
            wokeAt.store(0);
            const auto sent = Clock::now();
            (void)!::write(master, "x", 1);
            while (wokeAt.load() == 0) {
                std::this_thread::yield();
            }
            const Clock::time_point woke{Clock::duration(wokeAt.load())};
            polled.push_back(std::chrono::duration<double, std::micro>(woke - sent).count());
        }
        poller.join();
        ::close(fd);
    }

    std::printf("wake_p50_us: %.1f\n", percentile(wake, 0.50));
    std::printf("wake_p99_us: %.1f\n", percentile(wake, 0.99));
    std::printf("poll_p50_us: %.1f\n", percentile(polled, 0.50));
    std::printf("wake_to_poll_ratio: %.2f\n", percentile(wake, 0.50) / percentile(polled, 0.50));

    // The device end vanishes while listening.
    {
        serial::TBComPort port;
        port.SetPort(name);
        port.OnWatcherFailure = [](serial::TBComPort*, std::exception_ptr) {};
        port.OpenPort();
        pumpFor(std::chrono::milliseconds(50));
        ::close(master);
        const double start = cpuMs();
        pumpFor(std::chrono::seconds(2));
        std::printf("hangup_cpu_ms_2s: %.1f\n", cpuMs() - start);
        port.ClosePort();  // a vanished device lets the port go
    }

    // Listening idle on a device with modem lines (a UART's driver played on a pty): every
    // wake-up of any thread of this process while nothing happens for 10 s.
    {
        nira::testing::DriverDouble driver(nira::testing::kPersonalities[0]);
        auto api = platform::posix::makeSerialApi(driver);
        serial::TBComPort port(*api);
        port.SetPort(driver.path());
        port.OnRxChar = [](serial::TBComPort*, std::int32_t) {};
        port.OnCTSChange = [](serial::TBComPort*, bool) {};
        port.OpenPort();
        pumpFor(std::chrono::milliseconds(100));
        const long before = contextSwitches();
        platform::MainThreadQueue::instance().pumpFor(std::chrono::seconds(10));
        // The main thread's own return from its 10 s wait is one of them.
        std::printf("idle_wakeups_10s: %ld\n", contextSwitches() - before - 1);
        port.ClosePort();
    }

    // Waiting for a lost device to come back: one look a second, from the main thread's own
    // wait, nothing faster. The wake-ups of every thread over 10 s, less the main thread's own
    // return from its wait. The adapter is known by a by-id link, as a USB adapter is.
    {
        nira::testing::DriverDouble driver(nira::testing::kPersonalities[0]);
        const auto byId = std::filesystem::temp_directory_path() /
                          ("nira7-bench-by-id-" + std::to_string(::getpid()));
        std::filesystem::create_directories(byId);
        std::filesystem::create_symlink(driver.path(), byId / "usb-Maker_Adapter_A1-port0");
        ::setenv("NIRA7_SERIAL_BY_ID", byId.c_str(), 1);
        auto api = platform::posix::makeSerialApi(driver);
        serial::TBComPort port(*api);
        port.SetPort(driver.path());
        port.SetResumeAfterLoss(true);
        port.OnWatcherFailure = [](serial::TBComPort*, std::exception_ptr) {};
        port.OpenPort();
        pumpFor(std::chrono::milliseconds(100));
        driver.vanish();
        pumpFor(std::chrono::milliseconds(500));
        const long before = contextSwitches();
        const double start = cpuMs();
        auto& queue = platform::MainThreadQueue::instance();
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            queue.pumpFor(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        }
        std::printf("waiting_cpu_ms_10s: %.1f\n", cpuMs() - start);
        std::printf("waiting_wakeups_10s: %ld\n", contextSwitches() - before - 1);
        std::printf("waiting_for_return: %s\n", port.AwaitingReturn() ? "yes" : "no");
        port.ClosePort();
        std::filesystem::remove_all(byId);
    }
    return 0;
}
