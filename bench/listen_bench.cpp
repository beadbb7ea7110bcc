// nira7-listen figures, against the simulator (assertions none):
//   ack_p50_ms, ack_p99_ms      the receiver's wait for "<" over N events (the handler's 40 ms
//                               wait is the floor by design); half-way two messages go out
//                               together and neither is answered (acks_missing: 2)
//   idle_cpu_ms_10s             CPU time while listening to a quiet line for 10 s
//   rss_growth_kb_per_10k_msgs  resident memory growth between the 200th and the last message,
//                               scaled to 10,000 messages
//   cpu_ms_per_msg              the listener's CPU time per message, with the log written
//   sync_line_*, sync_second_*  the same with --sync line and --sync second (the log in the
//                               working folder, on its disk: a temporary folder may be in
//                               memory, where forcing to the disk costs nothing), and the CPU
//                               ratio against no --sync
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "listen_process.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

using nira::testing::ListenProcess;
using nira::testing::SimProcess;

namespace {

struct Figures {
    double cpuMsPerMessage = 0;
};

// One run of `events` messages against the listener with `extra` options; prints its figures
// with `prefix`.
Figures run(const std::string& prefix, int events, int intervalMs, const std::filesystem::path& log,
            const std::vector<std::string>& extra) {
    SimProcess sim({"--count", std::to_string(events), "--interval", std::to_string(intervalMs),
                    "--merge-at", std::to_string(std::max(2, events / 2)), "--wait-open",
                    "--linger", "1000"});
    std::vector<std::string> args{"--port", sim.portPath(), "--log", log.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ListenProcess listen(args, NIRA_LISTEN_EXE);
    long rssEarly = 0;
    long lines = 0;
    const long cpuBefore = listen.cpuMs();
    while (!sim.exited()) {
        listen.readUntil([&] { return false; }, std::chrono::milliseconds(100));
        lines = static_cast<long>(std::count(listen.out.begin(), listen.out.end(), '\n'));
        if (rssEarly == 0 && lines >= 200) {
            rssEarly = listen.rssKb();
        }
    }
    const long cpu = listen.cpuMs() - cpuBefore;
    const long rssLate = listen.rssKb();
    const auto figures = sim.figures();
    for (const char* name : {"acks", "acks_missing", "ack_p50_ms", "ack_p99_ms"}) {
        const auto found = figures.find(name);
        std::printf("%s%s: %s\n", prefix.c_str(), name,
                    found != figures.end() ? found->second.c_str() : "?");
    }
    Figures result;
    result.cpuMsPerMessage = static_cast<double>(cpu) / static_cast<double>(std::max(1L, lines));
    std::printf("%scpu_ms_per_msg: %.3f\n", prefix.c_str(), result.cpuMsPerMessage);
    if (rssEarly > 0) {
        const long counted = lines > 200 ? lines - 200 : 1;
        std::printf("%srss_at_200_kb: %ld\n%srss_at_end_kb: %ld\n", prefix.c_str(), rssEarly,
                    prefix.c_str(), rssLate);
        std::printf(
            "%srss_growth_kb_per_10k_msgs: %.0f\n", prefix.c_str(),
            static_cast<double>(rssLate - rssEarly) * 10000.0 / static_cast<double>(counted));
    }
    listen.signal(SIGTERM);
    listen.waitExit();
    std::filesystem::remove(log);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int intervalMs = argc > 2 ? std::atoi(argv[2]) : 45;
    nira::testing::TempDir dir;
    ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
    const Figures plain = run("", events, intervalMs, dir / "log.txt", {});
    const auto onDisk = std::filesystem::current_path() / "listen-bench-log.txt";
    const int synced = std::min(events, 300);
    const Figures line = run("sync_line_", synced, intervalMs, onDisk, {"--sync", "line"});
    const Figures second = run("sync_second_", synced, intervalMs, onDisk, {"--sync", "second"});
    if (plain.cpuMsPerMessage > 0) {
        std::printf("sync_line_cpu_ratio: %.2f\nsync_second_cpu_ratio: %.2f\n",
                    line.cpuMsPerMessage / plain.cpuMsPerMessage,
                    second.cpuMsPerMessage / plain.cpuMsPerMessage);
    }
    {
        std::ofstream(dir / "quiet.txt") << "wait-open\nwait 20000\n";
        SimProcess sim({"--script", (dir / "quiet.txt").string()});
        ListenProcess listen({"--port", sim.portPath()}, NIRA_LISTEN_EXE);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long before = listen.cpuMs();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::printf("idle_cpu_ms_10s: %ld\n", listen.cpuMs() - before);
        listen.signal(SIGTERM);
        listen.waitExit();
    }
    ::unsetenv("NIRA7_REGISTRY");
    return 0;
}
