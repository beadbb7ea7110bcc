// nira7-listen figures, against the simulator (assertions none):
//   ack_p50_ms, ack_p99_ms      the receiver's wait for "<" over N events (the handler's 40 ms
//                               wait is the floor by design); half-way two messages go out
//                               together and neither is answered (acks_missing: 2)
//   idle_cpu_ms_10s             CPU time while listening to a quiet line for 10 s
//   rss_growth_kb_per_10k_msgs  resident memory growth between the 200th and the last message,
//                               scaled to 10,000 messages
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "listen_process.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"

using nira::testing::ListenProcess;
using nira::testing::SimProcess;

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int intervalMs = argc > 2 ? std::atoi(argv[2]) : 45;
    nira::testing::TempDir dir;
    ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
    {
        SimProcess sim({"--count", std::to_string(events), "--interval", std::to_string(intervalMs),
                        "--merge-at", std::to_string(std::max(2, events / 2)), "--wait-open",
                        "--linger", "1000"});
        ListenProcess listen({"--port", sim.portPath(), "--log", (dir / "log.txt").string()},
                             NIRA_LISTEN_EXE);
        long rssEarly = 0;
        long lines = 0;
        while (!sim.exited()) {
            listen.readUntil([&] { return false; }, std::chrono::milliseconds(100));
            lines = static_cast<long>(std::count(listen.out.begin(), listen.out.end(), '\n'));
            if (rssEarly == 0 && lines >= 200) {
                rssEarly = listen.rssKb();
            }
        }
        const long rssLate = listen.rssKb();
        const auto figures = sim.figures();
        for (const char* name : {"acks", "acks_missing", "ack_p50_ms", "ack_p99_ms"}) {
            const auto found = figures.find(name);
            std::printf("%s: %s\n", name, found != figures.end() ? found->second.c_str() : "?");
        }
        const long counted = lines > 200 ? lines - 200 : 1;
        std::printf("rss_at_200_kb: %ld\nrss_at_end_kb: %ld\n", rssEarly, rssLate);
        std::printf(
            "rss_growth_kb_per_10k_msgs: %.0f\n",
            static_cast<double>(rssLate - rssEarly) * 10000.0 / static_cast<double>(counted));
        listen.signal(SIGTERM);
        listen.waitExit();
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
