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
// With --mqtt first, publishing to a local mosquitto instead:
//   mqtt_after_ack_p50_ms/_p99_ms  from the "<" (the message's id, taken right after it) to a
//                               subscriber's callback (the id has millisecond resolution)
//   mqtt_cpu_ms_per_msg, mqtt_cpu_ratio
//                               CPU per message publishing, and against the same run without
//   mqtt_idle_cpu_ms_10s, mqtt_down_cpu_ms_10s
//                               a quiet line for 10 s with the broker there, and with it down
//   mqtt_transmitters_*         publishing with a site's list of 1,000 transmitters, their
//                               state, supervision and Home Assistant discovery, and the CPU
//                               ratio against publishing without them
//   transmitter_bytes           the listener's memory a listed transmitter costs (10,000
//                               listed, with discovery, against none)
//   mqtt_sync_line_*            publishing with --sync line, the log and the spool in the
//                               working folder (on its disk), and the CPU ratio against none
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "listen_process.hpp"
#include "mqtt_broker.hpp"
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
    long rssLate = 0;
    while (!sim.exited()) {
        listen.readUntil([&] { return false; }, std::chrono::milliseconds(100));
        lines = static_cast<long>(listen.outLines());
        // Read while it runs: it ends by itself when the simulator's terminal goes.
        listen.cpuMs();
        if (const long rss = listen.rssKb(); rss > 0) {
            rssLate = rss;
        }
        if (rssEarly == 0 && lines >= 200) {
            rssEarly = listen.rssKb();
        }
    }
    const long cpu = listen.cpuMs() - cpuBefore;
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

// A list of `count` transmitters, as the window writes one.
std::filesystem::path siteList(const nira::testing::TempDir& dir, int count) {
    const auto path = dir / ("site-" + std::to_string(count) + ".csv");
    std::ofstream out(path);
    out << "id,name\r\n";
    for (int i = 0; i < count; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%06X,Transmitter number %d\r\n",
                      static_cast<unsigned>(0x100000 + i * 7), i);
        out << line;
    }
    return path;
}

// A listener on a quiet line with `extra` options, given to `look` once it has run `settle`.
template <typename Look>
auto onAQuietLine(const nira::testing::TempDir& dir, const std::vector<std::string>& extra,
                  std::chrono::milliseconds settle, Look look) {
    std::ofstream(dir / "quiet.txt") << "wait-open\nwait 20000\n";
    SimProcess sim({"--script", (dir / "quiet.txt").string()});
    std::vector<std::string> args{"--port", sim.portPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    ListenProcess listen(args, NIRA_LISTEN_EXE);
    std::this_thread::sleep_for(settle);
    const auto result = look(listen);
    listen.signal(SIGTERM);
    listen.waitExit();
    return result;
}

// The listener's resident memory once what it published at start has gone out, a turn at a
// time.
long startedRssKb(const nira::testing::TempDir& dir, const std::vector<std::string>& extra) {
    return onAQuietLine(dir, extra, std::chrono::milliseconds(6000),
                        [](ListenProcess& listen) { return listen.rssKb(); });
}

long quietCpuMs(const nira::testing::TempDir& dir, const std::vector<std::string>& extra) {
    return onAQuietLine(dir, extra, std::chrono::milliseconds(1500), [](ListenProcess& listen) {
        const long before = listen.cpuMs();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        return listen.cpuMs() - before;
    });
}

int mqttFigures(int events, int intervalMs, const nira::testing::TempDir& dir) {
    using nira::testing::Broker;
    using nira::testing::Subscriber;
    if (nira::testing::mosquittoExe() == nullptr) {
        std::printf("mqtt: no mosquitto here (scripts/bootstrap.sh installs it)\n");
        return 1;
    }
    std::filesystem::create_directories(dir / "broker");
    Broker broker(dir / "broker");
    if (!broker.start()) {
        std::printf("mqtt: the broker did not start\n");
        return 1;
    }
    Subscriber subscriber(broker.port(), "bench/#");
    const Figures plain = run("", events, intervalMs, dir / "log.txt", {});
    const std::vector<std::string> mqtt{"--mqtt", broker.url(),   "--mqtt-topic",
                                        "bench",  "--mqtt-spool", (dir / "spool").string()};
    const Figures published = run("mqtt_", events, intervalMs, dir / "log.txt", mqtt);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> delays;
    for (const auto& m : subscriber.messages()) {
        const auto id = m.payload.find("\"id\":\"");
        if (m.retained || id == std::string::npos ||
            (m.topic != "bench/event" && m.topic != "bench/test")) {
            continue;
        }
        const long long sentMs = std::atoll(m.payload.c_str() + id + 6);
        const auto at =
            std::chrono::duration_cast<std::chrono::microseconds>(m.at.time_since_epoch()).count();
        delays.push_back(static_cast<double>(at - sentMs * 1000) / 1000.0);
    }
    std::sort(delays.begin(), delays.end());
    const auto percentile = [&](double p) {
        return delays.empty()
                   ? 0.0
                   : delays[std::min(
                         delays.size() - 1,
                         static_cast<std::size_t>(p * static_cast<double>(delays.size())))];
    };
    std::printf("mqtt_messages_at_subscriber: %zu\n", delays.size());
    std::printf("mqtt_after_ack_p50_ms: %.2f\nmqtt_after_ack_p99_ms: %.2f\n", percentile(0.5),
                percentile(0.99));
    if (plain.cpuMsPerMessage > 0) {
        std::printf("mqtt_cpu_ratio: %.2f\n", published.cpuMsPerMessage / plain.cpuMsPerMessage);
    }
    {
        std::vector<std::string> listed = mqtt;
        listed.insert(listed.end(), {"--transmitters", siteList(dir, 1000).string(),
                                     "--missing-after", "1h", "--mqtt-discovery"});
        const Figures withList =
            run("mqtt_transmitters_", events, intervalMs, dir / "log.txt", listed);
        if (published.cpuMsPerMessage > 0) {
            std::printf("mqtt_transmitters_cpu_ratio: %.2f\n",
                        withList.cpuMsPerMessage / published.cpuMsPerMessage);
        }
        std::vector<std::string> many = mqtt;
        many.insert(many.end(), {"--transmitters", siteList(dir, 10000).string(), "--missing-after",
                                 "1h", "--mqtt-discovery"});
        std::vector<std::string> none = mqtt;
        none.insert(none.end(), {"--transmitters", siteList(dir, 0).string(), "--missing-after",
                                 "1h", "--mqtt-discovery"});
        const long manyKb = startedRssKb(dir, many);
        const long noneKb = startedRssKb(dir, none);
        std::printf("rss_kb_10000_listed: %ld\nrss_kb_none_listed: %ld\n", manyKb, noneKb);
        std::printf("transmitter_bytes: %.0f\n",
                    static_cast<double>(manyKb - noneKb) * 1024.0 / 10000.0);
    }
    {
        // Both on a real disk: a temporary folder may be in memory, where a sync costs nothing.
        const auto here = std::filesystem::current_path();
        std::vector<std::string> synced{"--mqtt",       broker.url(),
                                        "--mqtt-topic", "bench",
                                        "--mqtt-spool", (here / "listen-bench-spool").string(),
                                        "--sync",       "line"};
        const Figures line = run("mqtt_sync_line_", std::min(events, 300), intervalMs,
                                 here / "listen-bench-log.txt", synced);
        std::filesystem::remove_all(here / "listen-bench-spool");
        if (plain.cpuMsPerMessage > 0) {
            std::printf("mqtt_sync_line_cpu_ratio: %.2f\n",
                        line.cpuMsPerMessage / plain.cpuMsPerMessage);
        }
    }
    std::printf("mqtt_idle_cpu_ms_10s: %ld\n", quietCpuMs(dir, mqtt));
    broker.stop();
    std::printf("mqtt_down_cpu_ms_10s: %ld\n", quietCpuMs(dir, mqtt));
    return 0;
}

int main(int argc, char** argv) {
    const bool mqtt = argc > 1 && std::string(argv[1]) == "--mqtt";
    if (mqtt) {
        --argc;
        ++argv;
    }
    const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int intervalMs = argc > 2 ? std::atoi(argv[2]) : 45;
    nira::testing::TempDir dir;
    ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
    if (mqtt) {
        const int status = mqttFigures(events, intervalMs, dir);
        ::unsetenv("NIRA7_REGISTRY");
        return status;
    }
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
    std::printf("idle_cpu_ms_10s: %ld\n", quietCpuMs(dir, {}));
    ::unsetenv("NIRA7_REGISTRY");
    return 0;
}
