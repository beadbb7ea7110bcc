// nira7-listen end to end: the simulator on its pseudo-terminal, the listener as a child process.
// The acknowledgements, the log file's bytes, the JSON lines, the summary, and a device that goes
// away and comes back behind the same name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edge_case_session.hpp"
#include "listen_options.hpp"
#include "listen_output.hpp"
#include "listen_process.hpp"
#include "pty_pair.hpp"
#include "scoped_env.hpp"
#include "sim_process.hpp"
#include "temp_dir.hpp"
#include "transmitter_output.hpp"

extern char** environ;

namespace nira::listen {
namespace {

using nira::testing::ListenProcess;
using nira::testing::SimProcess;
using nira::testing::TempDir;
using Clock = std::chrono::steady_clock;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Listen, AnswersLogsAndSummarisesAsTheWindowDoes) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    { std::ofstream(dir / "session.txt") << nira::testing::kEdgeCaseSession; }
    SimProcess sim(
        {"--script", (dir / "session.txt").string(), "--expect-acks", "--linger", "300"});
    const std::string port = sim.portPath();
    ASSERT_FALSE(port.empty());
    ListenProcess listen(
        {"--port", port, "--log", (dir / "capture.txt").string(), "--sync", "line", "--json"});
    ASSERT_TRUE(
        listen.readUntil([&] { return listen.out.find("58595A7F80FF") != std::string::npos; },
                         std::chrono::seconds(20)))
        << listen.err;
    sim.signal(SIGTERM);
    const auto figures = sim.figures();
    EXPECT_EQ(figures.at("acks"), "3");
    EXPECT_EQ(figures.at("acks_unexpected"), "0");
    EXPECT_EQ(figures.at("acks_missing"), "0");
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;

    // The summary counts right.
    const auto summary = listen.summary();
    EXPECT_EQ(summary.at("test"), "2");
    EXPECT_EQ(summary.at("event"), "1");
    EXPECT_EQ(summary.at("unrecognised"), "3");
    EXPECT_EQ(summary.at("dropped"), "2");
    EXPECT_EQ(summary.at("acks"), "3");
    EXPECT_EQ(summary.at("gaps"), "0");

    // The log file is what the window's Save gives for this traffic: stamped lines, CR LF each,
    // the bytes of an unrecognised chunk kept as they came.
    const std::vector<std::string> contents = {
        "???: " + std::string(400, 'Z'),
        "TEST: 42, CS: 43",
        "TEST: 01, CS: FE",
        "ST: 10, ID: 1B05FF, DT: 5C, D1: 00, XXXX: 1234, CS: AB",
        "???: ABCD",
        std::string("???: \x00\r\nXYZ\x7F\x80\xFF", 14),
    };
    const std::string file = readFile(dir / "capture.txt");
    const QRegularExpression stamp(R"(^\S+ (?:\S+ )?\d{1,2}:\d{2}:\d{2}(?: \S+)?$)");
    std::size_t at = 0;
    for (const auto& content : contents) {
        const std::size_t arrow = file.find(" --> ", at);
        ASSERT_NE(arrow, std::string::npos) << content;
        EXPECT_TRUE(stamp.match(QString::fromStdString(file.substr(at, arrow - at))).hasMatch())
            << file.substr(at, arrow - at);
        EXPECT_EQ(file.substr(arrow + 5, content.size() + 2), content + "\r\n");
        at = arrow + 5 + content.size() + 2;
    }
    EXPECT_EQ(at, file.size()) << "nothing else in the file";

    // Every JSON line parses and holds its fields.
    std::istringstream lines(listen.out);
    std::string line;
    std::vector<std::string> kinds;
    while (std::getline(lines, line)) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
        const QJsonObject o = doc.object();
        kinds.push_back(o["kind"].toString().toStdString());
        EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)")
                        .match(o["time"].toString())
                        .hasMatch())
            << line;
        EXPECT_EQ(o["acknowledged"].toBool(), kinds.back() != "unrecognised") << line;
        if (kinds.back() == "event") {
            EXPECT_EQ(o["raw"].toString(), "3E101B05FF5C001234AB");
            EXPECT_EQ(o["fields"].toObject()["ID"].toString(), "1B05FF");
            EXPECT_EQ(o["fields"].toObject()["XXXX"].toString(), "1234");
            const QJsonObject smart = o["smart"].toObject();
            EXPECT_EQ(smart.size(), 12);
            EXPECT_EQ(smart["A0"].toString(), "H");
            EXPECT_EQ(smart["D0"].toString(), "L");
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"unrecognised", "test", "test", "event",
                                               "unrecognised", "unrecognised"}));
}

// Back under its name, then under another name that its stable identity leads to.
TEST(Listen, WaitsForAVanishedDeviceAndGoesOnWhenItIsBack) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    std::filesystem::create_directory(dir / "by-id");
    const nira::testing::ScopedEnv byId("NIRA7_SERIAL_BY_ID", (dir / "by-id").string());
    const auto link = dir / "receiver";
    const auto identity = dir / "by-id" / "usb-Maker_Receiver_0042-if00-port0";
    const auto repoint = [](const std::filesystem::path& at, const std::string& target) {
        std::filesystem::remove(at);
        std::filesystem::create_symlink(target, at);
    };
    std::ofstream(dir / "first.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 100000\n";
    std::ofstream(dir / "second.txt") << "wait-open\ntest 02 FD\nexpect-ack\nwait 100000\n";
    std::ofstream(dir / "third.txt") << "wait-open\ntest 03 FC\nexpect-ack\n";
    SimProcess first({"--script", (dir / "first.txt").string()});
    repoint(link, first.portPath());
    repoint(identity, first.portPath());
    ListenProcess listen({"--port", link.string()});
    ASSERT_TRUE(listen.readUntil([&] { return listen.out.find("TEST: 01") != std::string::npos; }))
        << listen.err;

    first.signal(SIGTERM);
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find("waiting for") != std::string::npos;
    })) << listen.err;
    // Neither name may lead to the dead terminal's number meanwhile: the next pseudo-terminal
    // anyone opens (another test's) would get it and be taken.
    std::filesystem::remove(link);
    std::filesystem::remove(identity);
    // Waiting costs next to nothing.
    const long cpuBefore = listen.cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LE(listen.cpuMs() - cpuBefore, 50) << "busy while waiting";

    SimProcess second({"--script", (dir / "second.txt").string(), "--expect-acks"});
    // Back, but another program has it first: said, and waited for.
    const int held = ::open(second.portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    repoint(link, second.portPath());
    repoint(identity, second.portPath());
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find("still waiting for " + link.string() +
                               ": another program holds the device") != std::string::npos;
    })) << listen.err;
    ::close(held);
    ASSERT_TRUE(listen.readUntil([&] { return listen.out.find("TEST: 02") != std::string::npos; }))
        << listen.err;
    EXPECT_NE(listen.err.find("is back after"), std::string::npos) << listen.err;

    // The name is gone for good; the adapter comes back as another device.
    std::filesystem::remove(link);
    std::filesystem::remove(identity);
    second.signal(SIGTERM);
    EXPECT_EQ(second.figures().at("acks"), "1");
    SimProcess third({"--script", (dir / "third.txt").string(), "--expect-acks"});
    repoint(identity, third.portPath());
    ASSERT_TRUE(listen.readUntil([&] { return listen.out.find("TEST: 03") != std::string::npos; }))
        << listen.err;
    third.signal(SIGTERM);
    EXPECT_EQ(third.figures().at("acks"), "1");
    listen.signal(SIGINT);
    EXPECT_EQ(listen.waitExit(), 0);
    EXPECT_EQ(listen.summary().at("gaps"), "2");
}

// Listening on a pseudo-terminal by its number: when it is gone, the number goes to the next
// program that asks for a terminal. That terminal is never taken: the listener says so and ends.
TEST(Listen, APseudoTerminalsNumberGivenToAnotherProgramIsNotTaken) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    std::ofstream(dir / "script.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 100000\n";
    auto sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--script", (dir / "script.txt").string(), "--no-register"});
    const std::string number = sim->portPath();
    ListenProcess listen({"--port", number});
    ASSERT_TRUE(listen.readUntil([&] { return listen.out.find("TEST: 01") != std::string::npos; }))
        << listen.err;
    sim->signal(SIGTERM);
    sim.reset();
    // Another program's terminal: the kernel hands out the lowest free number, the listener's
    // once it has let go.
    std::vector<std::unique_ptr<nira::testing::PtyPair>> others;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline && (others.empty() || others.back()->path() != number)) {
        listen.readUntil([] { return false; }, std::chrono::milliseconds(20));
        if (others.size() < 16) {
            others.push_back(std::make_unique<nira::testing::PtyPair>());
        }
    }
    ASSERT_TRUE(
        listen.readUntil([&] { return listen.exited().has_value(); }, std::chrono::seconds(5)))
        << listen.err;
    EXPECT_EQ(listen.waitExit(), 0) << "a session whose terminal ended is over";
    EXPECT_NE(listen.err.find("is gone (unplugged or switched off)"), std::string::npos);
    EXPECT_NE(listen.err.find("it is not waited for"), std::string::npos) << listen.err;
    EXPECT_EQ(listen.err.find("is back"), std::string::npos) << listen.err;
    for (const auto& other : others) {
        EXPECT_TRUE(other->echoing()) << other->path() << " was made raw";
    }
    EXPECT_EQ(listen.summary().at("test"), "1");
}

TEST(Listen, WaitsAtStartForAnAbsentDeviceAndSaysWhyEachTimeItChanges) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    const auto link = dir / "receiver";
    ListenProcess listen({"--port", link.string()});
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find("waiting for " + link.string() + ": there is no such device") !=
               std::string::npos;
    })) << listen.err;

    std::ofstream(dir / "script.txt") << "wait-open\ntest 01 FE\nexpect-ack\n";
    SimProcess sim({"--script", (dir / "script.txt").string(), "--expect-acks"});
    // Another program holds it first.
    const int held = ::open(sim.portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    std::filesystem::create_symlink(sim.portPath(), link);
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find("still waiting for " + link.string() +
                               ": another program holds the device") != std::string::npos;
    })) << listen.err;
    ::close(held);
    ASSERT_TRUE(listen.readUntil([&] { return listen.out.find("TEST: 01") != std::string::npos; }))
        << listen.err;
    EXPECT_NE(listen.err.find("listening on " + link.string()), std::string::npos) << listen.err;
    // Each reason once, not once a second.
    const auto told = [&](const std::string& what) {
        std::size_t times = 0;
        for (auto at = listen.err.find(what); at != std::string::npos;
             at = listen.err.find(what, at + 1)) {
            ++times;
        }
        return times;
    };
    EXPECT_EQ(told("another program holds"), 1U) << listen.err;
    EXPECT_EQ(told("no such device"), 1U) << listen.err;
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.figures().at("acks"), "1");
    listen.signal(SIGINT);
    EXPECT_EQ(listen.waitExit(), 0);
}

// Lines of a log file; each must be one stamped line, none glued to another or cut short.
std::vector<std::string> logLines(const std::filesystem::path& path) {
    const std::string text = readFile(path);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << path << ": a line without its end";
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    for (const auto& line : lines) {
        EXPECT_NE(line.find(" --> "), std::string::npos) << "cut short: " << line;
        EXPECT_EQ(line.find(" --> "), line.rfind(" --> ")) << "glued: " << line;
    }
    return lines;
}

long logged(const std::map<std::string, std::string>& summary) {
    return std::stol(summary.at("test")) + std::stol(summary.at("event")) +
           std::stol(summary.at("unrecognised"));
}

// Standard output that nobody reads, or that is gone: the receiver keeps getting its "<", every
// line is in the log, and SIGTERM still ends the listener.
TEST(Listen, AnOutputNobodyReadsHoldsUpNeitherTheReceiverNorTheLog) {
    for (const bool closed : {false, true}) {
        TempDir dir;
        const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
        SimProcess sim({"--count", "150", "--interval", "45", "--wait-open", "--linger", "500"});
        ListenProcess listen(
            {"--port", sim.portPath(), "--log", (dir / "log.txt").string(), "--json"});
        closed ? listen.closeOutput() : listen.stopReadingOutput();
        ASSERT_TRUE(
            listen.readUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(60)));
        const auto figures = sim.figures();
        listen.signal(SIGTERM);
        ASSERT_EQ(listen.waitExit(), 0) << (closed ? "closed: " : "unread: ") << listen.err;
        const auto summary = listen.summary();
        EXPECT_EQ(summary.at("acks"), figures.at("acks"));
        EXPECT_GE(std::stol(figures.at("acks")), 140) << "the receiver was held up";
        EXPECT_EQ(static_cast<long>(logLines(dir / "log.txt").size()), logged(summary));
        EXPECT_GT(std::stol(summary.at("output_dropped")), 0);
        EXPECT_NE(listen.err.find("dropped"), std::string::npos) << listen.err;
    }
}

// The log file hits a size limit (as a full disk would): no half line is left, the lost lines
// are counted, the receiver still gets every "<".
TEST(Listen, AShortWriteLeavesNoHalfLineAndCountsTheLoss) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    SimProcess sim({"--count", "60", "--interval", "45", "--wait-open", "--linger", "500"});
    ListenProcess listen({"--fsize=2000", NIRA_LISTEN_EXE, "--port", sim.portPath(), "--log",
                          (dir / "log.txt").string()},
                         "/usr/bin/prlimit");
    ASSERT_TRUE(
        listen.readUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(30)));
    const auto figures = sim.figures();
    listen.signal(SIGTERM);
    ASSERT_EQ(listen.waitExit(), 0) << listen.err;
    const auto summary = listen.summary();
    EXPECT_EQ(summary.at("acks"), figures.at("acks"));
    const auto lines = logLines(dir / "log.txt");
    EXPECT_GT(lines.size(), 10U);
    EXPECT_GT(std::stol(summary.at("log_lines_lost")), 0);
    EXPECT_EQ(static_cast<long>(lines.size()) + std::stol(summary.at("log_lines_lost")),
              logged(summary));
    EXPECT_NE(listen.err.find("cannot write the log file"), std::string::npos) << listen.err;
}

// The log moved away (and SIGHUP after it, as log rotation does) and then deleted: the listener
// notices at the next line and writes to the name anew; no line is lost.
TEST(Listen, ALogMovedOrDeletedIsOpenedAgainWithoutLosingALine) {
    TempDir dir;
    const nira::testing::ScopedEnv registry("NIRA7_REGISTRY", (dir / "registry.reg").string());
    SimProcess sim({"--count", "60", "--interval", "45", "--wait-open", "--linger", "500"});
    const auto log = dir / "log.txt";
    ListenProcess listen({"--port", sim.portPath(), "--log", log.string(), "--sync", "second"});
    const auto linesOut = [&] { return listen.outLines(); };
    ASSERT_TRUE(listen.readUntil([&] { return linesOut() >= 15U; }, std::chrono::seconds(20)));
    std::filesystem::rename(log, dir / "log.1");
    ASSERT_TRUE(listen.readUntil([&] { return linesOut() >= 25U; }, std::chrono::seconds(20)));
    listen.signal(SIGHUP);
    ASSERT_TRUE(listen.readUntil([&] { return linesOut() >= 35U; }, std::chrono::seconds(20)));
    const auto kept = logLines(log);
    std::filesystem::remove(log);
    ASSERT_TRUE(
        listen.readUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(30)));
    listen.signal(SIGTERM);
    ASSERT_EQ(listen.waitExit(), 0) << listen.err;
    const long total =
        static_cast<long>(logLines(dir / "log.1").size() + kept.size() + logLines(log).size());
    EXPECT_EQ(total, logged(listen.summary()));
    EXPECT_NE(listen.err.find("was deleted or moved"), std::string::npos) << listen.err;
}

TEST(Listen, BadCommandLinesAndPortsSayWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--bogus"}, 2, "unknown option"},
        {{}, 2, "no port given"},
        {{"--port", "x", "--speed", "12345"}, 2, "unknown line speed"},
        {{"--port"}, 2, "--port needs"},
        {{"--port", "x", "--sync", "line"}, 2, "--sync is for the log file"},
        {{"--port", "x", "--log", "l", "--sync", "often"}, 2, "unknown --sync \"often\""},
        {{"--port", "/dev/null"}, 1, "cannot listen on /dev/null: it is not a serial device"},
        {{"--port", "/dev/nira7-no-such-port", "--log", "/nonexistent/dir/log.txt"},
         1,
         "cannot open the log file"},
        {{"--port", "/dev/null", "--transmitters", "/nonexistent/site.csv"},
         1,
         "cannot read the list of transmitters \"/nonexistent/site.csv\""},
    };
    for (const auto& c : cases) {
        ListenProcess listen(c.args);
        EXPECT_EQ(listen.waitExit(), c.status) << c.says;
        EXPECT_NE(listen.err.find(c.says), std::string::npos) << listen.err;
        EXPECT_EQ(std::count(listen.err.begin(), listen.err.end(), '\n'), 1) << listen.err;
    }
    ListenProcess version({"--version"});
    EXPECT_EQ(version.waitExit(), 0);
    EXPECT_EQ(version.out, "nira7-listen 0.3\n");
}

TEST(ListenOptions, BrokerSettingsAreReadAndBadOnesRefusedWithASentence) {
    const auto parse = [](std::vector<std::string> args,
                          std::map<std::string, std::string> environment = {}) {
        args.insert(args.begin(), {"--port", "/dev/ttyUSB0"});
        return parseOptions(args, [environment](const char* name) -> std::optional<std::string> {
            const auto found = environment.find(name);
            return found == environment.end() ? std::nullopt
                                              : std::optional<std::string>(found->second);
        });
    };
    if (!mqttBuiltIn()) {
        EXPECT_NE(parse({"--mqtt", "mqtt://h"}).error.find("no MQTT"), std::string::npos);
        return;
    }
    TempDir dir;
    std::ofstream(dir / "password") << "s3cret\r\nsecond line\n";
    const Parsed good =
        parse({"--mqtt", "mqtts://[::1]:9883/", "--mqtt-user", "site", "--mqtt-password-file",
               (dir / "password").string(), "--mqtt-spool-size", "2M"},
              {{"NIRA7_MQTT_TOPIC", "a/b"}, {"NIRA7_MQTT_URL", "mqtt://other"}});
    ASSERT_TRUE(good.options) << good.error;
    const MqttOptions& m = good.options->mqtt;
    EXPECT_EQ(m.host, "::1");
    EXPECT_EQ(m.port, 9883);
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.topic, "a/b") << "from the environment";
    EXPECT_EQ(m.password, "s3cret");
#ifndef _WIN32
    // A password others may read is said; one the user's alone is not.
    std::filesystem::permissions(dir / "password", std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write |
                                                       std::filesystem::perms::others_read);
    const auto notesFor = [&] {
        return parse({"--mqtt", "mqtt://h", "--mqtt-user", "site", "--mqtt-password-file",
                      (dir / "password").string()})
            .notes;
    };
    const auto notes = notesFor();
    ASSERT_EQ(notes.size(), 1U);
    EXPECT_NE(notes[0].find("may be read by other users of this machine (mode 0604): chmod 600"),
              std::string::npos)
        << notes[0];
    std::filesystem::permissions(
        dir / "password", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(notesFor().empty());
#endif
    EXPECT_EQ(m.spoolBytes, 2U * 1024 * 1024);
    EXPECT_EQ(m.drainRate, 100U) << "a backlog is drained at a bounded rate by default";
    EXPECT_TRUE(m.discovery.empty()) << "discovery is asked for";
    EXPECT_EQ(parse({"--mqtt", "mqtt://h", "--mqtt-discovery", "--json"}).options->mqtt.discovery,
              "homeassistant");
    EXPECT_EQ(parse({"--mqtt", "mqtt://h", "--mqtt-discovery", "ha"}).options->mqtt.discovery,
              "ha");
    for (const auto& [text, seconds] : std::vector<std::pair<std::string, long>>{
             {"90", 90}, {"90s", 90}, {"30m", 1800}, {"2h", 7200}, {"1d", 86400}}) {
        const Parsed p = parse({"--missing-after", text});
        ASSERT_TRUE(p.options) << p.error;
        EXPECT_EQ(p.options->missingAfter, std::chrono::seconds(seconds)) << text;
    }
    const Parsed fromService = parse(
        {}, {{"NIRA7_TRANSMITTERS", "/etc/nira7-listen/site.csv"}, {"NIRA7_MISSING_AFTER", "2h"}});
    ASSERT_TRUE(fromService.options) << fromService.error;
    EXPECT_EQ(fromService.options->transmitters, "/etc/nira7-listen/site.csv");
    EXPECT_EQ(fromService.options->missingAfter, std::chrono::hours(2));
    EXPECT_NE(parse({}, {{"NIRA7_MISSING_AFTER", "later"}}).error.find("is not a time"),
              std::string::npos);
    EXPECT_EQ(parse({"--mqtt", "mqtt://h", "--mqtt-drain-rate", "0"}).options->mqtt.drainRate, 0U);
    EXPECT_EQ(
        parse({"--mqtt", "mqtt://h"}, {{"NIRA7_MQTT_DRAIN_RATE", "250"}}).options->mqtt.drainRate,
        250U);
    const Parsed fromEnvironment = parse({}, {{"NIRA7_MQTT_URL", "mqtt://broker.site"},
                                              {"NIRA7_MQTT_USER", "u"},
                                              {"NIRA7_MQTT_PASSWORD", "p"}});
    ASSERT_TRUE(fromEnvironment.options) << fromEnvironment.error;
    EXPECT_EQ(fromEnvironment.options->mqtt.port, 1883);
    EXPECT_EQ(fromEnvironment.options->mqtt.password, "p");
    EXPECT_EQ(defaultTopicPrefix("pc#1", "/dev/serial/by-id/usb-X+Y-port0"),
              "nira7/pc_1/usb-X_Y-port0");
    EXPECT_EQ(defaultTopicPrefix("pc", "COM3"), "nira7/pc/COM3");
    // One spool folder per prefix: no two prefixes share one.
    EXPECT_EQ(spoolFolderName("site/7/receiver"), "site_2F7_2Freceiver");
    EXPECT_EQ(spoolFolderName("."), "_2E");
    for (const auto& [a, b] : std::vector<std::pair<std::string, std::string>>{
             {"site/пост", "site/узел"}, {"a_b", "a/b"}, {"a_2Fb", "a/b"}, {"x y", "x_y"}}) {
        EXPECT_NE(spoolFolderName(a), spoolFolderName(b)) << a << " and " << b;
        EXPECT_EQ(spoolFolderName(a).find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-"),
                  std::string::npos);
    }
    EXPECT_EQ(oldSpoolFolderName("site/пост"), oldSpoolFolderName("site/узел"));
    // %h and %p as the default prefix has them.
    EXPECT_EQ(expandTopicPrefix("site-7/%p", "pc", "/dev/serial/by-id/usb-X+Y-port0"),
              "site-7/usb-X_Y-port0");
    EXPECT_EQ(expandTopicPrefix("%h/%p/100%%/%x", "pc#1", "COM3"), "pc_1/COM3/100%/%x");
    // Names the system gives may hold what no topic may: each such byte or character is "_",
    // and what is left passes the prefix's own check.
    for (const auto& [port, level] :
         std::vector<std::pair<std::string, std::string>>{{"/dev/tty\x7f"
                                                           "1",
                                                           "tty_1"},
                                                          {"/dev/tty\xff", "tty_"},
                                                          {"/dev/\xc2\x85x", "_x"},
                                                          {"/dev/\xe2\x80\xaeusb", "_usb"},
                                                          {"/dev/пост", "пост"}}) {
        const std::string prefix = defaultTopicPrefix("pc", port);
        EXPECT_EQ(prefix, "nira7/pc/" + level);
        EXPECT_EQ(topicPrefixFault(prefix), "") << prefix;
    }

    const struct {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--mqtt", "http://h"}, "is not an mqtt:// or mqtts:// URL"},
        {{"--mqtt", "mqtt://"}, "names no host"},
        {{"--mqtt", "mqtt://h:0"}, "is not a number from 1 to 65535"},
        {{"--mqtt", "mqtt://h:70000"}, "is not a number from 1 to 65535"},
        {{"--mqtt", "mqtt://h:"}, "ends in a colon without a port"},
        {{"--mqtt", "mqtt://[::1"}, "does not close it"},
        {{"--mqtt", "mqtt://h/topic"}, "has a path"},
        {{"--mqtt", "mqtt://u:pw@h"}, "every user sees the command line"},
        {{"--mqtt", "mqtt://h", "--mqtt-password", "pw"}, "seen by every user of the machine"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/+/b"}, "holds \"+\": MQTT takes + and #"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/#"}, "holds \"#\""},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", std::string("a\0b", 3)}, "a NUL character"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/"}, "empty level"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "$SYS/x"}, "keep for their own topics"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a\x01"}, "not UTF-8 text without control"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "caf\xc3"}, "not UTF-8 text without control"},
        // What the broker's library refuses in a client id or topic, and what misleads a reader.
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/\xed\xa0\x80"}, "not UTF-8 text"},  // surrogate
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/\xc2\x85"}, "not UTF-8 text"},      // C1 control
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/\xef\xbf\xbf"}, "not UTF-8 text"},  // U+FFFF
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/\xc0\xaf"}, "not UTF-8 text"},      // overlong
        {{"--mqtt", "mqtt://h", "--mqtt-topic", "a/\xf4\x90\x80\x80"}, "not UTF-8 text"},
        {{"--mqtt", "mqtt://h", "--mqtt-topic",
          "a/\xe2\x80\xae"
          "b"},
         "a text direction control"},
        {{"--mqtt", "mqtt://h", "--mqtt-drain-rate", "fast"}, "not a number of messages a second"},
        {{"--sync", "line"}, "--sync is for the log file and the spool"},
        {{"--missing-after", "soon"}, "is not a time: a number and s, m, h or d"},
        {{"--missing-after", "0m"}, "is not a time"},
        {{"--missing-after", "5y"}, "is not a time"},
        {{"--transmitters"}, "--transmitters needs the site's list"},
        {{"--mqtt", "mqtt://h", "--mqtt-discovery", "ha/+"}, "the discovery prefix: "},
        {{"--mqtt", "mqtt://h", "--mqtt-spool-size", "10k"}, "below its least, 64k"},
        {{"--mqtt", "mqtt://h", "--mqtt-spool-size", "lots"}, "is not a number of bytes"},
        {{"--mqtt", "mqtt://h", "--mqtt-user", "u", "--mqtt-password-file", "/nonexistent/pw"},
         "cannot read the password file"},
        {{"--mqtt", "mqtt://h", "--mqtt-ca", "/etc/hostname"}, "are for TLS: use an mqtts:// URL"},
        {{"--mqtt", "mqtts://h", "--mqtt-ca", "/nonexistent/ca.crt"}, "cannot read the TLS file"},
        {{"--mqtt", "mqtts://h", "--mqtt-cert", "/etc/hostname"}, "needs its key"},
        {{"--mqtt-topic", "a/b"}, "--mqtt-topic is for publishing: give --mqtt URL too"},
        {{"--mqtt"}, "--mqtt needs a value"},
        {{"--mqtt-bogus", "x"}, "unknown option"},
    };
    for (const auto& c : bad) {
        const Parsed parsed = parse(c.args);
        EXPECT_FALSE(parsed.options) << c.says;
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << parsed.error;
    }
    EXPECT_NE(parse({"--mqtt", "mqtt://h"}, {{"NIRA7_MQTT_PASSWORD", "p"}})
                  .error.find("without a user name"),
              std::string::npos);
}

TEST(ListenOutput, IsoTimeHasMillisecondsAndTheOffset) {
    const auto when =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1765375501123));
    {
        const nira::testing::ScopedEnv zone("TZ", "UTC");
        tzset();
        EXPECT_EQ(isoTime(when), "2025-12-10T14:05:01.123+00:00");
    }
    {
        const nira::testing::ScopedEnv zone("TZ", "EET-2");
        tzset();
        EXPECT_EQ(isoTime(when), "2025-12-10T16:05:01.123+02:00");
    }
    tzset();
}

// Ids: the same message the same id; two runs (two ports, two machines) never one id.
// Names come from a file the operator keeps: whatever it holds, the JSON stays JSON.
TEST(ListenOutput, NamesAreJsonStringsWhateverTheyHold) {
    for (const auto& [text, json] : std::vector<std::pair<std::string, std::string>>{
             {"Front door", "\"Front door\""},
             {"Kitchen \"PIR\"", "\"Kitchen \\\"PIR\\\"\""},
             {"a\\b", "\"a\\\\b\""},
             {"tab\there", "\"tab\\u0009here\""},
             {"Кухня", "\"Кухня\""},
             {"bad \xff byte", "\"bad \xEF\xBF\xBD byte\""},
         }) {
        EXPECT_EQ(jsonString(text), json) << text;
    }
    // One receiver, one key: prefixes that differ anywhere keep their devices apart.
    EXPECT_EQ(TransmitterOutput::receiverKey("site/7/rx"), "site_2F7_2Frx");
    EXPECT_NE(TransmitterOutput::receiverKey("a_b"), TransmitterOutput::receiverKey("a/b"));
    EXPECT_NE(TransmitterOutput::receiverKey("site/пост"),
              TransmitterOutput::receiverKey("site/узел"));
}

TEST(ListenOutput, IdsCarryTheirRunsTag) {
    capture::Arrival arrival;
    arrival.message.kind = receiver::ChunkKind::TestMessage;
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1000));
    const std::string first = runTag();
    const std::string second = runTag();
    EXPECT_EQ(first.size(), 8U);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
    EXPECT_NE(first, second);
    const auto idIn = [](const std::string& json) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(json))
            .object()
            .value("id")
            .toString()
            .toStdString();
    };
    EXPECT_EQ(idIn(jsonLine(arrival, when, 7, first)), "1000-7-" + first);
    EXPECT_EQ(idIn(jsonLine(arrival, when, 7, first)), idIn(jsonLine(arrival, when, 7, first)));
    EXPECT_NE(idIn(jsonLine(arrival, when, 7, first)), idIn(jsonLine(arrival, when, 7, second)));
}

}  // namespace
}  // namespace nira::listen
