// nira7-listen publishing to a real broker (Debian's mosquitto on a free local port): every
// message arrives, in order and equal to its JSON line, whatever the broker does meanwhile; the
// receiver is answered all the same.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edge_case_session.hpp"
#include "listen_options.hpp"
#include "listen_process.hpp"
#include "mqtt_broker.hpp"
#include "scoped_env.hpp"
#include "sim_process.hpp"
#include "spool.hpp"
#include "temp_dir.hpp"

namespace nira::listen {
namespace {

using nira::testing::Broker;
using nira::testing::ListenProcess;
using nira::testing::ScopedEnv;
using nira::testing::SimProcess;
using nira::testing::Subscriber;
using nira::testing::TempDir;
using Message = Subscriber::Message;

constexpr const char* kPrefix = "site/7/receiver";

#define NEED_BROKER()                                                           \
    if (nira::testing::mosquittoExe() == nullptr) {                             \
        GTEST_SKIP() << "no mosquitto here (scripts/bootstrap.sh installs it)"; \
    }

std::string idOf(const std::string& json) {
    const std::size_t at = json.find("\"id\":\"");
    if (at == std::string::npos) {
        return {};
    }
    return json.substr(at + 6, json.find('"', at + 6) - at - 6);
}

// The messages of the receiver, as arrived, each id once (QoS 1 may deliver one twice); fed what
// arrived as it grows, so a wait over a long run looks at each message once.
class ReceiverMessages {
  public:
    const std::vector<std::string>& operator()(const std::vector<Message>& messages) {
        for (; fed_ < messages.size(); ++fed_) {
            const Message& m = messages[fed_];
            for (const char* kind : {"event", "test", "unrecognised"}) {
                if (m.topic == std::string(kPrefix) + "/" + kind &&
                    seen_.insert(idOf(m.payload)).second) {
                    out_.push_back(m.payload);
                }
            }
        }
        return out_;
    }

  private:
    std::size_t fed_ = 0;
    std::set<std::string> seen_;
    std::vector<std::string> out_;
};

std::vector<std::string> receiverMessages(const std::vector<Message>& messages) {
    return ReceiverMessages()(messages);
}

// A wait until at least `count` of the receiver's messages have arrived.
std::function<bool(const std::vector<Message>&)> atLeast(std::size_t count) {
    return [count, tally = std::make_shared<ReceiverMessages>()](const auto& m) {
        return (*tally)(m).size() >= count;
    };
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

std::string lastOn(const std::vector<Message>& messages, const std::string& topic) {
    const auto found = std::find_if(messages.rbegin(), messages.rend(),
                                    [&](const Message& m) { return m.topic == topic; });
    return found == messages.rend() ? std::string() : found->payload;
}

// A broker, a subscriber to the prefix, a spool and state folder of the test's own.
struct Site {
    TempDir dir;
    ScopedEnv registry{"NIRA7_REGISTRY", (dir / "registry.reg").string()};
    ScopedEnv state{"STATE_DIRECTORY", (dir / "state").string()};
    std::filesystem::path brokerDir = dir / "broker";

    Site() { std::filesystem::create_directories(brokerDir); }

    std::vector<std::string> listenArgs(const std::string& port, const std::string& url) const {
        return {"--port", port, "--json", "--mqtt", url, "--mqtt-topic", kPrefix};
    }
};

TEST(Mqtt, EveryMessageOfTheEdgeCaseScriptArrivesOnceInOrderAsItsJsonLine) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    { std::ofstream(site.dir / "session.txt") << nira::testing::kEdgeCaseSession; }
    SimProcess sim(
        {"--script", (site.dir / "session.txt").string(), "--expect-acks", "--linger", "300"});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    ASSERT_TRUE(
        listen.readUntil([&] { return listen.out.find("58595A7F80FF") != std::string::npos; },
                         std::chrono::seconds(20)))
        << listen.err;
    const std::vector<std::string> lines = linesOf(listen.out);
    ASSERT_EQ(lines.size(), 6U);
    EXPECT_TRUE(subscriber.waitFor(atLeast(6)));
    EXPECT_EQ(receiverMessages(subscriber.messages()), lines);

    // Presence and counts, retained: what a dashboard sees at once.
    const auto all = subscriber.messages();
    EXPECT_EQ(lastOn(all, std::string(kPrefix) + "/status"), "online");
    EXPECT_EQ(lastOn(all, std::string(kPrefix) + "/device"), "listening");
    EXPECT_TRUE(subscriber.waitFor([&](const auto& m) {
        return lastOn(m, std::string(kPrefix) + "/stats").find("\"dropped\":2") !=
               std::string::npos;
    })) << lastOn(subscriber.messages(), std::string(kPrefix) + "/stats");
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.figures().at("acks"), "3");
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    EXPECT_EQ(listen.summary().at("mqtt_published"), "6");
    EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "0");
    // A clean end says offline itself (the broker does not send the Last Will then).
    EXPECT_TRUE(subscriber.waitFor(
        [&](const auto& m) { return lastOn(m, std::string(kPrefix) + "/status") == "offline"; }));
    // A late subscriber gets the retained state.
    Subscriber late(broker.port(), std::string(kPrefix) + "/#", "late");
    EXPECT_TRUE(late.waitFor([&](const auto& m) {
        return !lastOn(m, std::string(kPrefix) + "/stats").empty() &&
               lastOn(m, std::string(kPrefix) + "/status") == "offline";
    }));
    EXPECT_TRUE(receiverMessages(late.messages()).empty()) << "messages are not retained";
}

TEST(Mqtt, ABrokerDownInTheMiddleOfARunLosesNothing) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    auto subscriber = std::make_unique<Subscriber>(broker.port(), std::string(kPrefix) + "/#");
    SimProcess sim(
        {"--count", "500", "--interval", "50", "--wait-open", "--seed", "7", "--linger", "500"});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    ASSERT_TRUE(subscriber->waitFor(atLeast(150), std::chrono::seconds(30)));
    broker.stop();
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find("the broker connection is lost") != std::string::npos;
    })) << listen.err;
    const long cpuBefore = listen.cpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long cpuDown = listen.cpuMs() - cpuBefore;
    std::printf(
        "listener CPU while the broker was down: %ld ms in 10 s (the receiver sending "
        "20 messages a second meanwhile)\n",
        cpuDown);
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(
        listen.readUntil([&] { return listen.err.find("reachable again") != std::string::npos; },
                         std::chrono::seconds(40)))
        << listen.err;
    ASSERT_TRUE(
        listen.readUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(60)));
    // On a loaded machine two messages may come as one chunk, which the receiver's protocol
    // answers neither of: what counts is that every message answered reached the subscriber.
    const auto figures = sim.figures();
    const std::size_t answered = std::stoul(figures.at("acks"));
    EXPECT_GE(answered, 490U) << "the receiver was held up";
    // The listener's output has a writer of its own: its last line may come after the end.
    listen.readUntil([&] { return listen.outLines() >= answered; });
    const std::vector<std::string> lines = linesOf(listen.out);
    EXPECT_EQ(lines.size(), answered);
    EXPECT_TRUE(subscriber->waitFor(atLeast(lines.size()), std::chrono::seconds(30)));
    EXPECT_EQ(receiverMessages(subscriber->messages()), lines);
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    const auto summary = listen.summary();
    EXPECT_NE(summary.at("mqtt_spooled"), "0");
    EXPECT_EQ(summary.at("mqtt_left_in_spool"), "0");
    EXPECT_EQ(summary.at("acks"), figures.at("acks"));
}

TEST(Mqtt, ABrokerDownAtStartGetsWhatARestartedListenerSpooled) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    std::ofstream(site.dir / "a.txt")
        << "wait-open\ntest 01 FE\nexpect-ack\nwait 100\n"
        << "test 02 FD\nexpect-ack\nwait 100\ntest 03 FC\nexpect-ack\n";
    std::ofstream(site.dir / "b.txt") << "wait-open\ntest 04 FB\nexpect-ack\n";
    std::vector<std::string> lines;
    {
        SimProcess sim(
            {"--script", (site.dir / "a.txt").string(), "--expect-acks", "--linger", "300"});
        ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
        ASSERT_TRUE(listen.readUntil([&] {
            return listen.out.find("TEST: 03") != std::string::npos || listen.outLines() == 3;
        })) << listen.err;
        EXPECT_EQ(sim.figures().at("acks"), "3") << "the receiver is answered without a broker";
        listen.signal(SIGTERM);
        EXPECT_EQ(listen.waitExit(), 0);
        EXPECT_NE(listen.err.find("the broker is unreachable: connection refused; "),
                  std::string::npos)
            << listen.err;
        EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "3") << listen.err;
        lines = linesOf(listen.out);
    }
    // Damaged on disk meanwhile: a record cut short and garbage after the three good ones.
    const auto spool = site.dir / "state" / "mqtt-spool" / spoolFolderName(kPrefix);
    for (const auto& item : std::filesystem::directory_iterator(spool)) {
        if (item.path().extension() == ".seg" && std::filesystem::file_size(item.path()) > 0) {
            std::ofstream(item.path(), std::ios::app | std::ios::binary)
                << std::string("N7S1\x20\0\0\0\1\2\3\4{\"id\":\"x", 20) << "garbage";
        }
    }
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    SimProcess sim({"--script", (site.dir / "b.txt").string(), "--expect-acks", "--linger", "300"});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    ASSERT_TRUE(listen.readUntil([&] { return !listen.out.empty() && listen.out.back() == '\n'; }))
        << listen.err;
    lines.push_back(linesOf(listen.out).at(0));
    EXPECT_TRUE(subscriber.waitFor(atLeast(4)));
    EXPECT_EQ(receiverMessages(subscriber.messages()), lines);
    EXPECT_NE(listen.err.find("the spool held 1 damaged stretch, skipped; 3 messages wait in "
                              "it, from an earlier run"),
              std::string::npos)
        << listen.err;
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0);
}

// A CA, a broker certificate for 127.0.0.1 and a client certificate it signed, and another CA
// that signed nothing.
void makeCertificates(const std::filesystem::path& dir) {
    std::ofstream(dir / "make-certificates.sh")
        << "set -e\ncd \"$(dirname \"$0\")\"\nexec >openssl.log 2>&1\n"
           "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=nira7-test-ca "
           "-keyout ca.key -out ca.crt\n"
           "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=another-ca "
           "-keyout other.key -out other.crt\n"
           "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key "
           "-out server.csr\n"
           "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext\n"
           "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
           "-extfile san.ext -out server.crt\n"
           "openssl req -newkey rsa:2048 -nodes -subj /CN=site-7 -keyout client.key "
           "-out client.csr\n"
           "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
           "-out client.crt\n";
    ASSERT_EQ(std::system(("sh " + (dir / "make-certificates.sh").string()).c_str()), 0)
        << std::ifstream(dir / "openssl.log").rdbuf();
}

TEST(Mqtt, TlsWithTheBrokersCaPublishesAndAnotherCaIsToldClearly) {
    NEED_BROKER();
    Site site;
    makeCertificates(site.dir.path());
    Broker broker(site.brokerDir,
                  {"cafile " + (site.dir / "ca.crt").string(),
                   "certfile " + (site.dir / "server.crt").string(),
                   "keyfile " + (site.dir / "server.key").string(), "require_certificate true"});
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 1500\n"
                                      << "test 02 FD\nexpect-ack\n";
    std::vector<std::string> lines;
    {
        SimProcess sim(
            {"--script", (site.dir / "s.txt").string(), "--expect-acks", "--linger", "300"});
        auto args = site.listenArgs(sim.portPath(), broker.tlsUrl());
        args.insert(args.end(), {"--mqtt-ca", (site.dir / "other.crt").string()});
        ListenProcess listen(args);
        ASSERT_TRUE(listen.readUntil([&] {
            return listen.err.find("the broker is unreachable: TLS: certificate verify failed") !=
                   std::string::npos;
        })) << listen.err;
        EXPECT_EQ(sim.figures().at("acks"), "2") << "the receiver is answered all the same";
        listen.signal(SIGTERM);
        EXPECT_EQ(listen.waitExit(), 0);
        EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "2");
        lines = linesOf(listen.out);
    }
    // With the CA that signed the broker's certificate and a client certificate, what waited
    // goes out.
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks", "--linger", "300"});
    auto args = site.listenArgs(sim.portPath(), broker.tlsUrl());
    args.insert(args.end(), {"--mqtt-ca", (site.dir / "ca.crt").string(), "--mqtt-cert",
                             (site.dir / "client.crt").string(), "--mqtt-key",
                             (site.dir / "client.key").string()});
    ListenProcess listen(args);
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 2; })) << listen.err;
    for (const auto& line : linesOf(listen.out)) {
        lines.push_back(line);
    }
    EXPECT_TRUE(subscriber.waitFor(atLeast(4))) << listen.err;
    EXPECT_EQ(receiverMessages(subscriber.messages()), lines);
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0);
}

TEST(Mqtt, AWrongPasswordIsToldAndListeningAndLoggingGoOn) {
    NEED_BROKER();
    Site site;
    const auto passwords = site.dir / "passwords";
    std::ofstream(passwords) << "";
    ASSERT_EQ(
        std::system(("mosquitto_passwd -b " + passwords.string() + " site7 right-one").c_str()), 0);
    Broker broker(site.brokerDir, {}, passwords.string());
    ASSERT_TRUE(broker.start());
    std::ofstream(site.dir / "wrong") << "not-this-one\n";
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 300\n"
                                      << "test 02 FD\nexpect-ack\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks", "--linger", "300"});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    args.insert(args.end(),
                {"--mqtt-user", "site7", "--mqtt-password-file", (site.dir / "wrong").string(),
                 "--log", (site.dir / "capture.txt").string()});
    ListenProcess listen(args);
    ASSERT_TRUE(listen.readUntil([&] {
        return listen.err.find(
                   "the broker refused the login: not authorised (look at the user "
                   "name and password)") != std::string::npos;
    })) << listen.err;
    EXPECT_EQ(sim.figures().at("acks"), "2");
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 2; }));
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0);
    std::ifstream log(site.dir / "capture.txt");
    const std::string logged{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    EXPECT_NE(logged.find("TEST: 02"), std::string::npos) << logged;
    EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "2");
}

TEST(Mqtt, TheRetainedStatusTurnsOfflineWhenTheListenerIsKilled) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::ofstream(site.dir / "s.txt") << "wait-open\nwait 100000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string()});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    const std::string status = std::string(kPrefix) + "/status";
    ASSERT_TRUE(subscriber.waitFor([&](const auto& m) { return lastOn(m, status) == "online"; }));
    listen.signal(SIGKILL);
    EXPECT_TRUE(subscriber.waitFor([&](const auto& m) { return lastOn(m, status) == "offline"; }))
        << "no Last Will";
    Subscriber late(broker.port(), status, "late");
    EXPECT_TRUE(late.waitFor([&](const auto& m) { return lastOn(m, status) == "offline"; }));
}

// A broker that takes the connection and never says a word.
TEST(Mqtt, ABrokerThatNeverAnswersHoldsUpNeitherTheReceiverNorTheEnd) {
    Site site;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server, 8), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&a), &size), 0);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    // The receiver stays until the listener has ended: its terminal going would end it too.
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 500\n"
                                      << "test 02 FD\nexpect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    ListenProcess listen(site.listenArgs(sim.portPath(), url));
    ASSERT_TRUE(listen.readUntil(
        [&] { return listen.err.find("the broker does not answer") != std::string::npos; },
        std::chrono::seconds(20)))
        << listen.err;
    const auto before = std::chrono::steady_clock::now();
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(8))
        << "the end waited for the broker";
    EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "2");
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.figures().at("acks"), "2");
    ::close(server);
}

// 10,000 messages of an earlier run wait; the receiver goes on meanwhile.
TEST(Mqtt, ABacklogOfTenThousandGoesOutWithoutStarvingTheReceiver) {
    NEED_BROKER();
    Site site;
    const auto folder = site.dir / "spool";
    std::vector<std::string> backlog;
    {
        Spool spool(folder, 64ULL * 1024 * 1024);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        for (int i = 1; i <= 10000; ++i) {
            backlog.push_back("{\"id\":\"1-" + std::to_string(i) + "\",\"kind\":\"test\"}");
            ASSERT_TRUE(spool.append("test", backlog.back(), error)) << error;
        }
    }
    // Mosquitto's default queue of 1,000 a subscriber would drop most of it at the broker.
    static_assert(Broker::kMaxQueuedMessages > 10040);
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    SimProcess sim(
        {"--count", "40", "--interval", "100", "--wait-open", "--seed", "3", "--linger", "500"});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    // As fast as the link takes it: the receiver must be answered all the same.
    args.insert(args.end(), {"--mqtt-spool", folder.string(), "--mqtt-drain-rate", "0"});
    ListenProcess listen(args);
    ASSERT_TRUE(
        listen.readUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(60)));
    // The listener's output has a writer of its own: its last line may come after the end.
    listen.readUntil([&] { return listen.outLines() >= 40U; });
    const auto figures = sim.figures();
    std::printf(
        "receiver during the backlog: acks %s of 40, ack p50 %s ms, "
        "p99 %s ms\n",
        figures.at("acks").c_str(), figures.at("ack_p50_ms").c_str(),
        figures.at("ack_p99_ms").c_str());
    EXPECT_EQ(figures.at("acks"), "40");
    EXPECT_EQ(figures.at("acks_missing"), "0");
    std::vector<std::string> expected = backlog;
    for (const auto& line : linesOf(listen.out)) {
        expected.push_back(line);
    }
    EXPECT_TRUE(subscriber.waitFor(atLeast(expected.size()), std::chrono::seconds(60)));
    EXPECT_EQ(receiverMessages(subscriber.messages()), expected);
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0);
    EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "0");
}

}  // namespace
}  // namespace nira::listen

namespace nira::listen {
namespace {

std::vector<std::string> payloadsOnTopic(const std::vector<Message>& messages,
                                         const std::string& topic) {
    std::vector<std::string> out;
    for (const Message& m : messages) {
        if (m.topic == topic) {
            out.push_back(m.payload);
        }
    }
    return out;
}

// Two prefixes an older version gave one spool folder (every byte outside ASCII letters and
// digits became "_"): each capture keeps its own, both answer their receivers, and each message
// goes out under its own prefix.
TEST(MqttSites, PrefixesThatDifferOnlyOutsideAsciiKeepTheirSpoolsAndMessagesApart) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), "site/#");
    const struct {
        const char* prefix;
        const char* id;
    } captures[] = {{"site/пост", "11 11 11"}, {"site/узел", "22 22 22"}};
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::unique_ptr<ListenProcess>> listens;
    for (const auto& capture : captures) {
        const auto script = site.dir / (std::string(capture.id, 2) + ".txt");
        std::ofstream(script) << "wait-open\nevent 10 " << capture.id << " 20 00 12 34 56\n"
                              << "expect-ack\nwait 200\nevent 10 " << capture.id
                              << " 21 00 12 34 56\nexpect-ack\n";
        sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{
            "--script", script.string(), "--expect-acks", "--linger", "300"}));
        listens.push_back(std::make_unique<ListenProcess>(
            std::vector<std::string>{"--port", sims.back()->portPath(), "--json", "--mqtt",
                                     broker.url(), "--mqtt-topic", capture.prefix}));
    }
    for (std::size_t i = 0; i < listens.size(); ++i) {
        ASSERT_TRUE(listens[i]->readUntil([&] { return listens[i]->outLines() == 2; }))
            << listens[i]->err;
        EXPECT_EQ(sims[i]->figures().at("acks"), "2");
    }
    ASSERT_TRUE(subscriber.waitFor([&](const auto& m) {
        return payloadsOnTopic(m, "site/пост/event").size() == 2 &&
               payloadsOnTopic(m, "site/узел/event").size() == 2;
    }));
    for (const auto& capture : captures) {
        const std::string id = std::string(capture.id).erase(5, 1).erase(2, 1);
        for (const std::string& payload :
             payloadsOnTopic(subscriber.messages(), std::string(capture.prefix) + "/event")) {
            EXPECT_NE(payload.find(id), std::string::npos) << capture.prefix << ": " << payload;
        }
    }
    for (auto& listen : listens) {
        listen->signal(SIGTERM);
        EXPECT_EQ(listen->waitExit(), 0) << listen->err;
    }
}

// A second capture on the same prefix cannot have its spool: it says who has it and goes on
// answering and logging its receiver.
TEST(MqttSites, ASecondCaptureOnTheSamePrefixIsAnsweredAndLoggedAndToldWhoHasTheSpool) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    std::ofstream(site.dir / "quiet.txt") << "wait 60000\n";
    SimProcess first({"--script", (site.dir / "quiet.txt").string()});
    ListenProcess holder(site.listenArgs(first.portPath(), broker.url()));
    ASSERT_TRUE(holder.readUntil([&] {
        return holder.err.find("listening on") != std::string::npos;
    })) << holder.err;
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 300\n"
                                      << "test 02 FD\nexpect-ack\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks", "--linger", "300"});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    args.insert(args.end(), {"--log", (site.dir / "capture.txt").string()});
    ListenProcess second(args);
    ASSERT_TRUE(second.readUntil([&] {
        return second.err.find("is used by another nira7-listen (" + first.portPath() +
                               ", process " + std::to_string(holder.pid()) +
                               ") with the same topic prefix") != std::string::npos;
    })) << second.err;
    ASSERT_TRUE(second.readUntil([&] { return second.outLines() == 2; })) << second.err;
    EXPECT_EQ(sim.figures().at("acks"), "2");
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitExit(), 0) << second.err;
    std::ifstream log(site.dir / "capture.txt");
    const std::string logged{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    EXPECT_NE(logged.find("TEST: 02"), std::string::npos) << logged;
    holder.signal(SIGTERM);
    EXPECT_EQ(holder.waitExit(), 0) << holder.err;
}

// Two listeners publishing under one prefix from spools of their own (two machines, one
// topic): each keeps its connection, as each has a client id of its own.
TEST(MqttSites, TwoListenersOnOnePrefixDoNotTakeEachOthersConnection) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::unique_ptr<ListenProcess>> listens;
    for (const char* name : {"one", "two"}) {
        const auto script = site.dir / (std::string(name) + ".txt");
        std::ofstream(script) << "wait-open\ntest 01 FE\nexpect-ack\nwait 1500\ntest 02 FD\n"
                              << "expect-ack\nwait 1500\ntest 03 FC\nexpect-ack\nwait 60000\n";
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--script", script.string(), "--expect-acks"}));
        auto args = site.listenArgs(sims.back()->portPath(), broker.url());
        args.insert(args.end(), {"--mqtt-spool", (site.dir / name).string()});
        listens.push_back(std::make_unique<ListenProcess>(args));
    }
    EXPECT_TRUE(subscriber.waitFor(atLeast(6), std::chrono::seconds(20)));
    for (auto& listen : listens) {
        listen->signal(SIGTERM);
        EXPECT_EQ(listen->waitExit(), 0) << listen->err;
        EXPECT_EQ(listen->err.find("connection is lost"), std::string::npos) << listen->err;
        EXPECT_EQ(listen->summary().at("mqtt_published"), "3") << listen->err;
    }
}

// Two machines cloned with their state share a client id and take each other's connection:
// each says so once, and the back-off keeps growing instead of starting again at each
// connection, so they fight a few times a minute, not twice a second.
TEST(MqttSites, AClonedClientIdIsSaidOnceAndFoughtForRarely) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    std::ofstream(site.dir / "quiet.txt") << "wait 60000\n";
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::unique_ptr<ListenProcess>> listens;
    for (const char* name : {"one", "two"}) {
        std::filesystem::create_directories(site.dir / name);
        std::ofstream(site.dir / name / "client-id") << "0123456789abcdef\n";
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--script", (site.dir / "quiet.txt").string()}));
        auto args = site.listenArgs(sims.back()->portPath(), broker.url());
        args.insert(args.end(), {"--mqtt-spool", (site.dir / name).string()});
        listens.push_back(std::make_unique<ListenProcess>(args));
    }
    // Sixteen seconds of the fight.
    for (int i = 0; i < 160; ++i) {
        for (auto& listen : listens) {
            listen->readUntil([] { return false; }, std::chrono::milliseconds(50));
        }
    }
    const auto count = [](const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    };
    std::size_t losses = 0;
    std::size_t told = 0;
    for (auto& listen : listens) {
        losses += count(listen->err, "connection is lost");
        told += count(listen->err, "another client may be using the same client id");
        EXPECT_LE(count(listen->err, "another client may be using the same client id"), 1U)
            << listen->err;
        listen->signal(SIGTERM);
        EXPECT_EQ(listen->waitExit(), 0) << listen->err;
    }
    EXPECT_GE(told, 1U) << "a taken-over connection is said";
    // Attempts 1, 2, 4 and 8 s apart: at most five connections each in sixteen seconds, so at
    // most ten losses between them (about one a second before).
    EXPECT_LE(losses, 10U) << listens[0]->err << listens[1]->err;
}

// What an older version left in the spool folder it named is published by this one.
TEST(MqttSites, ASpoolAnOlderVersionLeftIsTakenOverAndPublished) {
    NEED_BROKER();
    Site site;
    {
        Spool old(site.dir / "state" / "mqtt-spool" / oldSpoolFolderName(kPrefix), 1 << 20);
        std::string error;
        ASSERT_TRUE(old.open(error)) << error;
        ASSERT_TRUE(old.append("event", "{\"left\":\"by an older version\"}", error)) << error;
    }
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::ofstream(site.dir / "quiet.txt") << "wait 60000\n";
    SimProcess sim({"--script", (site.dir / "quiet.txt").string()});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    EXPECT_TRUE(subscriber.waitFor([&](const auto& m) {
        return payloadsOnTopic(m, std::string(kPrefix) + "/event") ==
               std::vector<std::string>{"{\"left\":\"by an older version\"}"};
    })) << listen.err;
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    EXPECT_TRUE(std::filesystem::is_directory(site.dir / "state" / "mqtt-spool" /
                                              spoolFolderName(kPrefix)));
}

}  // namespace
}  // namespace nira::listen

namespace nira::listen {
namespace {

// A message bigger than the broker takes (its max_packet_size) made it close the connection at
// every try, for ever, and everything behind it waited: after a few tries in a row it is set
// aside, kept on disk and told, and the rest go on in order.
TEST(MqttRecords, AMessageTheBrokerRefusesAgainAndAgainIsSetAsideAndTheRestGoOn) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    broker.configure("max_packet_size 700");
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 300\n"
                                      << "raw " <<
        [] {
            std::string hex;
            for (int i = 0; i < 300; ++i) {
                hex += "41 ";
            }
            return hex;
        }() << "\nwait 300\ntest 02 FD\nexpect-ack\nwait 300\n"
                                      << "test 03 FC\nexpect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    ListenProcess listen(site.listenArgs(sim.portPath(), broker.url()));
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 4; })) << listen.err;
    const std::vector<std::string> lines = linesOf(listen.out);
    ASSERT_NE(lines[1].find("\"unrecognised\""), std::string::npos) << lines[1];
    ASSERT_TRUE(
        listen.readUntil([&] { return listen.err.find("is set aside") != std::string::npos; },
                         std::chrono::seconds(40)))
        << listen.err;
    EXPECT_TRUE(subscriber.waitFor(atLeast(3), std::chrono::seconds(20)));
    EXPECT_EQ(receiverMessages(subscriber.messages()),
              (std::vector<std::string>{lines[0], lines[2], lines[3]}));
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    EXPECT_EQ(listen.summary().at("mqtt_set_aside"), "1");
    EXPECT_EQ(listen.summary().at("mqtt_left_in_spool"), "0");
    const auto folder = site.dir / "state" / "mqtt-spool" / spoolFolderName(kPrefix);
    std::ifstream kept(folder / "set-aside", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()};
    EXPECT_EQ(bytes, Spool::encode("unrecognised", lines[1])) << "kept whole, as spooled";
    // Said once, naming the file; the short connections are not taken for a client-id clash.
    const std::string said = "is set aside";
    EXPECT_EQ(listen.err.find(said), listen.err.rfind(said)) << listen.err;
    EXPECT_NE(listen.err.find((folder / "set-aside").string()), std::string::npos);
    EXPECT_EQ(listen.err.find("same client id"), std::string::npos) << listen.err;
}

// A spool of tens of megabytes left by an earlier run: the port is opened and answered first,
// the spool read back beside it, and memory holds an index of it, not its payloads.
TEST(MqttRecords, ALargeSpoolCostsLittleMemoryAndDoesNotHoldUpThePort) {
    NEED_BROKER();
    Site site;
    const auto folder = site.dir / "spool";
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 60000\n";
    const auto started = [&](const std::string& spool) {
        auto sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--script", (site.dir / "s.txt").string(), "--expect-acks"});
        // No broker: everything waits.
        auto args = site.listenArgs(
            sim->portPath(), "mqtt://127.0.0.1:" + std::to_string(nira::testing::freePort()));
        args.insert(args.end(), {"--mqtt-spool", spool, "--mqtt-spool-size", "256M"});
        auto listen = std::make_unique<ListenProcess>(args);
        return std::make_pair(std::move(sim), std::move(listen));
    };
    // What a listener with an empty spool takes.
    long baseKb = 0;
    {
        auto [sim, listen] = started((site.dir / "empty").string());
        ASSERT_TRUE(listen->readUntil([&] { return listen->outLines() == 1; })) << listen->err;
        baseKb = listen->rssKb();
        listen->signal(SIGTERM);
        EXPECT_EQ(listen->waitExit(), 0);
    }
    constexpr int kCount = 200000;
    std::uint64_t spoolBytes = 0;
    {
        Spool spool(folder, 256ULL << 20);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        std::string payload(300, 'x');
        for (int i = 1; i <= kCount; ++i) {
            payload.replace(0, 13, std::to_string(1000000000000LL + i));
            ASSERT_TRUE(spool.append("event", payload, error)) << error;
        }
        spoolBytes = spool.bytesOnDisk();
    }
    auto [sim, listen] = started(folder.string());
    ASSERT_TRUE(listen->readUntil(
        [&] { return listen->err.find("from an earlier run") != std::string::npos; },
        std::chrono::seconds(60)))
        << listen->err;
    ASSERT_TRUE(listen->readUntil([&] { return listen->outLines() == 1; })) << listen->err;
    EXPECT_LT(listen->err.find("listening on"), listen->err.find("from an earlier run"))
        << "the port first: " << listen->err;
    EXPECT_NE(listen->err.find(std::to_string(kCount) + " messages wait"), std::string::npos)
        << listen->err;
    const long grownKb = listen->rssKb() - baseKb;
    std::printf("spool %llu KiB: the listener's memory grew by %ld KiB (%.2f of the spool)\n",
                static_cast<unsigned long long>(spoolBytes / 1024), grownKb,
                static_cast<double>(grownKb) * 1024 / static_cast<double>(spoolBytes));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow of each byte the listener maps or allocates is no figure of its own.
#else
    EXPECT_LT(grownKb * 1024, static_cast<long>(spoolBytes / 4)) << "the payloads stay on the disk";
#endif
    listen->signal(SIGTERM);
    EXPECT_EQ(listen->waitExit(), 0) << listen->err;
    EXPECT_EQ(listen->summary().at("acks"), "1");
    EXPECT_EQ(listen->summary().at("mqtt_left_in_spool"), std::to_string(kCount + 1));
}

// A backlog goes out no faster than the drain rate: the centre's broker and its subscribers
// are not flooded after an outage.
TEST(MqttRecords, ABacklogDrainsAtTheDrainRate) {
    NEED_BROKER();
    Site site;
    const auto folder = site.dir / "spool";
    constexpr int kCount = 600;
    constexpr int kRate = 200;
    {
        Spool spool(folder, 64ULL << 20);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        for (int i = 1; i <= kCount; ++i) {
            ASSERT_TRUE(spool.append("test", "{\"id\":\"1-" + std::to_string(i) + "\"}", error));
        }
    }
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    std::ofstream(site.dir / "s.txt") << "wait-open\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string()});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    args.insert(args.end(),
                {"--mqtt-spool", folder.string(), "--mqtt-drain-rate", std::to_string(kRate)});
    ListenProcess listen(args);
    ASSERT_TRUE(subscriber.waitFor(atLeast(kCount), std::chrono::seconds(30))) << listen.err;
    std::vector<std::chrono::system_clock::time_point> at;
    for (const Message& m : subscriber.messages()) {
        if (m.topic == std::string(kPrefix) + "/test") {
            at.push_back(m.at);
        }
    }
    ASSERT_EQ(at.size(), static_cast<std::size_t>(kCount));
    const double seconds = std::chrono::duration<double>(at.back() - at.front()).count();
    std::printf("%d messages drained in %.2f s at a drain rate of %d a second\n", kCount, seconds,
                kRate);
    // A second's worth may go at once; the rest no faster than the rate (a lower bound only:
    // a busy machine is slower, never faster).
    EXPECT_GE(seconds, (kCount - kRate) / static_cast<double>(kRate) * 0.9);
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
}

// With --sync, the spool's records are forced to the disk as the log's lines are.
TEST(MqttRecords, SyncForcesTheSpoolToTheDiskBesideTheLog) {
    NEED_BROKER();
    if (std::system("/usr/bin/strace -f -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    Site site;
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 200\n"
                                      << "test 02 FD\nexpect-ack\nwait 200\ntest 03 FC\n"
                                      << "expect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    const auto trace = site.dir / "trace.txt";
    // No broker: each record stays in the spool.
    auto args = site.listenArgs(sim.portPath(),
                                "mqtt://127.0.0.1:" + std::to_string(nira::testing::freePort()));
    args.insert(args.end(), {"--log", (site.dir / "capture.txt").string(), "--sync", "line",
                             "--mqtt-spool", (site.dir / "spool").string()});
    // LeakSanitizer cannot work under a tracer: the traced listener goes without it.
    std::vector<std::string> traced{
        "-f", "-y",           "-e", "trace=fdatasync", "-E", "ASAN_OPTIONS=detect_leaks=0",
        "-o", trace.string(), "--", NIRA_LISTEN_EXE};
    traced.insert(traced.end(), args.begin(), args.end());
    ListenProcess listen(traced, "/usr/bin/strace");
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 3; }, std::chrono::seconds(30)))
        << listen.err;
    // The listener is strace's child; strace ends with it.
    pid_t listener = 0;
    std::ifstream(std::string("/proc/") + std::to_string(listen.pid()) + "/task/" +
                  std::to_string(listen.pid()) + "/children") >>
        listener;
    ASSERT_GT(listener, 0);
    ::kill(listener, SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    std::ifstream in(trace);
    int log = 0;
    int spool = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find("fdatasync(") == std::string::npos || line.find("= 0") == std::string::npos) {
            continue;
        }
        log += line.find("capture.txt>") != std::string::npos ? 1 : 0;
        spool += line.find(".seg>") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(log, 1);
    EXPECT_GE(spool, 1) << "the spool's records were never forced to the disk";
}

// Behind a bridge the listener's "status" is its link to the site's broker; the bridge's own
// notification topic, retained at the centre, says when the site's broker is gone.
TEST(MqttRecords, TheCentreSeesADeadSiteBrokerOnTheBridgesNotificationTopic) {
    NEED_BROKER();
    Site site;
    const auto centreDir = site.dir / "centre";
    std::filesystem::create_directories(centreDir);
    Broker centre(centreDir);
    ASSERT_TRUE(centre.start());
    Broker siteBroker(site.brokerDir);
    for (const std::string& line : std::vector<std::string>{
             "connection centre", "address 127.0.0.1:" + std::to_string(centre.port()),
             std::string("topic ") + kPrefix + "/# out 1", "notifications true",
             std::string("notification_topic ") + kPrefix + "/bridge", "keepalive_interval 5",
             "cleansession false", "restart_timeout 1"}) {
        siteBroker.configure(line);
    }
    ASSERT_TRUE(siteBroker.start());
    Subscriber desk(centre.port(), std::string(kPrefix) + "/#", "desk");
    ASSERT_TRUE(desk.waitFor([](const auto& m) {
        return lastOn(m, std::string(kPrefix) + "/bridge") == "1";
    })) << "the bridge says it is up";
    std::ofstream(site.dir / "s.txt") << "wait-open\ntest 01 FE\nexpect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    ListenProcess listen(site.listenArgs(sim.portPath(), siteBroker.url()));
    ASSERT_TRUE(desk.waitFor(atLeast(1), std::chrono::seconds(20))) << listen.err;
    ASSERT_TRUE(desk.waitFor(
        [](const auto& m) { return lastOn(m, std::string(kPrefix) + "/status") == "online"; }));
    siteBroker.kill();
    EXPECT_TRUE(desk.waitFor(
        [](const auto& m) { return lastOn(m, std::string(kPrefix) + "/bridge") == "0"; },
        std::chrono::seconds(30)))
        << "the centre is told the site's broker is gone";
    EXPECT_EQ(lastOn(desk.messages(), std::string(kPrefix) + "/status"), "online")
        << "the listener's own status cannot reach the centre without its broker";
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
}

}  // namespace
}  // namespace nira::listen

namespace nira::listen {
namespace {

// The string value of `key` in a JSON object (no nesting needed here), or empty.
std::string jsonValue(const std::string& json, const std::string& key) {
    const std::string head = "\"" + key + "\":\"";
    const std::size_t at = json.find(head);
    if (at == std::string::npos) {
        return {};
    }
    std::string out;
    for (std::size_t i = at + head.size(); i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
            ++i;
        }
        out += json[i];
    }
    return out;
}

bool hasKey(const std::string& json, const std::string& key) {
    return json.find("\"" + key + "\":") != std::string::npos;
}

// What each discovery config says, as Home Assistant's MQTT integration documents its keys.
struct Config {
    std::string topic;
    std::string component;
    std::string payload;
};

std::vector<Config> configsIn(const std::vector<Message>& messages, bool retainedOnly) {
    std::map<std::string, Config> latest;
    for (const Message& m : messages) {
        if (m.topic.rfind("homeassistant/", 0) != 0 || !m.topic.ends_with("/config") ||
            (retainedOnly && !m.retained)) {
            continue;
        }
        const std::size_t slash = m.topic.find('/', 14);
        latest[m.topic] = Config{m.topic, m.topic.substr(14, slash - 14), m.payload};
    }
    std::vector<Config> out;
    for (auto& [topic, config] : latest) {
        if (!config.payload.empty()) {
            out.push_back(std::move(config));
        }
    }
    return out;
}

constexpr const char* kSiteList =
    "id,name,room\r\n1A2B3C,Front door,hall\r\n445566,\"Kitchen \"\"PIR\"\"\",kitchen\r\n";

// Discovery for the listed transmitters only, each config with the keys Home Assistant needs
// for its kind of entity, pointing at state topics that exist and carry what it reads.
TEST(MqttTransmitters, DiscoveryFollowsHomeAssistantsKeysForTheListedOnly) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    ASSERT_TRUE(broker.start());
    Subscriber all(broker.port(), "#", "all");
    std::ofstream(site.dir / "site.csv") << kSiteList;
    std::ofstream(site.dir / "s.txt") << "wait-open\nevent 10 1A 2B 3C 20 00 12 34 56\n"
                                      << "expect-ack\nwait 300\nevent 10 77 88 99 21 00 12 34 56\n"
                                      << "expect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    args.insert(args.end(), {"--transmitters", (site.dir / "site.csv").string(), "--missing-after",
                             "1h", "--mqtt-discovery"});
    ListenProcess listen(args);
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 2; })) << listen.err;
    const std::vector<std::string> lines = linesOf(listen.out);
    EXPECT_EQ(jsonValue(lines[0], "name"), "Front door") << lines[0];
    EXPECT_FALSE(hasKey(lines[1], "name")) << "an unlisted transmitter has none: " << lines[1];
    const std::string state = std::string(kPrefix) + "/transmitter/";
    ASSERT_TRUE(all.waitFor([&](const auto& m) {
        return lastOn(m, state + "778899").find("\"messages\":1") != std::string::npos &&
               !lastOn(m, state + "1A2B3C/event").empty();
    })) << listen.err;
    // A subscriber that comes later gets every config, retained.
    Subscriber late(broker.port(), "homeassistant/#", "late");
    ASSERT_TRUE(late.waitFor([](const auto& m) { return configsIn(m, true).size() >= 11; }));
    const std::vector<Config> configs = configsIn(late.messages(), true);
    // Three for the receiver; for each listed: last heard, messages, missing, the event.
    EXPECT_EQ(configs.size(), 3U + 2 * 4);
    const std::map<std::string, std::vector<std::string>> required = {
        {"sensor", {"state_topic"}},
        {"binary_sensor", {"state_topic"}},
        {"event", {"state_topic", "event_types"}},
    };
    std::set<std::string> uniqueIds;
    const auto messages = all.messages();
    for (const Config& c : configs) {
        SCOPED_TRACE(c.topic + " " + c.payload);
        ASSERT_EQ(required.count(c.component), 1U);
        for (const std::string& key : required.at(c.component)) {
            EXPECT_TRUE(hasKey(c.payload, key)) << key;
        }
        for (const char* key : {"name", "unique_id", "device", "availability_topic"}) {
            EXPECT_TRUE(hasKey(c.payload, key)) << key;
        }
        EXPECT_TRUE(uniqueIds.insert(jsonValue(c.payload, "unique_id")).second);
        EXPECT_EQ(jsonValue(c.payload, "availability_topic"), std::string(kPrefix) + "/status");
        const std::size_t identifiers = c.payload.find("\"identifiers\":[\"");
        ASSERT_NE(identifiers, std::string::npos);
        const std::string device = c.payload.substr(identifiers + 16, 64);
        EXPECT_EQ(device.find("778899"), std::string::npos) << "never a neighbour's";
        if (const std::size_t named = c.payload.find("Kitchen"); named != std::string::npos) {
            EXPECT_EQ(named, c.payload.find("\"name\":\"Kitchen") + 8)
                << "the name is the device's display name, never its identity";
        }
        // The state topic exists and carries what the template reads.
        const std::string topic = jsonValue(c.payload, "state_topic");
        const std::string shown = lastOn(messages, topic);
        if (c.component == "event") {
            if (topic.find("1A2B3C") != std::string::npos) {
                EXPECT_EQ(jsonValue(shown, "event_type"), "message");
            }
            continue;
        }
        EXPECT_FALSE(shown.empty()) << topic;
        const std::string tpl = jsonValue(c.payload, "value_template");
        if (const std::size_t at = tpl.find("value_json."); at != std::string::npos) {
            std::string key = tpl.substr(at + 11);
            key = key.substr(0, key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"));
            EXPECT_TRUE(hasKey(shown, key)) << key << " in " << shown;
        }
    }
    // The listed one never heard has its state; the neighbour's has one too, but no device.
    EXPECT_EQ(jsonValue(lastOn(messages, state + "445566"), "state"), "not heard");
    EXPECT_EQ(jsonValue(lastOn(messages, state + "445566"), "name"), "Kitchen \"PIR\"");
    for (const Message& m : messages) {
        if (m.topic.ends_with("/event") && m.topic.rfind(state, 0) == 0) {
            EXPECT_FALSE(m.retained) << "an event fires once";
        }
    }
    // A broker that comes back without what it kept gets the configs again.
    broker.stop();
    std::filesystem::remove(site.brokerDir / "mosquitto.db");
    ASSERT_TRUE(broker.start());
    Subscriber fresh(broker.port(), "homeassistant/#", "fresh");
    // Live or retained, whichever came first: they were published again.
    EXPECT_TRUE(fresh.waitFor([](const auto& m) { return configsIn(m, false).size() >= 11; },
                              std::chrono::seconds(40)))
        << listen.err;
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
    EXPECT_EQ(listen.summary().at("transmitters_heard"), "2");
    EXPECT_EQ(listen.summary().at("transmitters_expected"), "2");

    // Taken off the list: its configs are cleared at the next start.
    std::ofstream(site.dir / "site.csv", std::ios::trunc) << "id,name\r\n1A2B3C,Front door\r\n";
    std::ofstream(site.dir / "q.txt") << "wait-open\nwait 60000\n";
    SimProcess quiet({"--script", (site.dir / "q.txt").string()});
    auto again = site.listenArgs(quiet.portPath(), broker.url());
    again.insert(again.end(), {"--transmitters", (site.dir / "site.csv").string(),
                               "--missing-after", "1h", "--mqtt-discovery"});
    ListenProcess second(again);
    ASSERT_TRUE(all.waitFor([](const auto& m) {
        return std::count_if(m.begin(), m.end(), [](const Message& x) {
                   return x.topic.find("445566") != std::string::npos &&
                          x.topic.ends_with("/config") && x.payload.empty();
               }) == 4;
    })) << second.err;
    Subscriber last(broker.port(), "homeassistant/#", "last");
    ASSERT_TRUE(last.waitFor([](const auto& m) { return configsIn(m, true).size() >= 7; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const Config& c : configsIn(last.messages(), true)) {
        EXPECT_EQ(c.topic.find("445566"), std::string::npos) << c.topic;
    }
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitExit(), 0) << second.err;
}

// Messages spooled while the broker was away go out after it is back; the retained state they
// belong to is the newest all the same.
TEST(MqttTransmitters, TheStateAfterASpoolReplayIsTheNewest) {
    NEED_BROKER();
    Site site;
    Broker broker(site.brokerDir);
    std::ofstream(site.dir / "site.csv") << kSiteList;
    std::ofstream(site.dir / "s.txt") << "wait-open\nevent 10 1A 2B 3C 20 00 12 34 56\n"
                                      << "expect-ack\nwait 300\nevent 10 1A 2B 3C 21 00 12 34 56\n"
                                      << "expect-ack\nwait 300\nevent 10 1A 2B 3C 22 00 12 34 56\n"
                                      << "expect-ack\nwait 60000\n";
    SimProcess sim({"--script", (site.dir / "s.txt").string(), "--expect-acks"});
    auto args = site.listenArgs(sim.portPath(), broker.url());
    args.insert(args.end(), {"--transmitters", (site.dir / "site.csv").string()});
    ListenProcess listen(args);
    ASSERT_TRUE(listen.readUntil([&] { return listen.outLines() == 3; })) << listen.err;
    const std::string lastTime = jsonValue(linesOf(listen.out)[2], "time");
    ASSERT_TRUE(broker.start());
    Subscriber subscriber(broker.port(), std::string(kPrefix) + "/#");
    ASSERT_TRUE(subscriber.waitFor(atLeast(3), std::chrono::seconds(20))) << listen.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Subscriber late(broker.port(), std::string(kPrefix) + "/transmitter/+", "late");
    ASSERT_TRUE(late.waitFor([](const auto& m) {
        return !lastOn(m, std::string(kPrefix) + "/transmitter/1A2B3C").empty();
    }));
    const std::string state = lastOn(late.messages(), std::string(kPrefix) + "/transmitter/1A2B3C");
    EXPECT_NE(state.find("\"messages\":3"), std::string::npos) << state;
    EXPECT_EQ(jsonValue(state, "last_heard"), lastTime) << state;
    EXPECT_NE(state.find("\"DT\":\"22\""), std::string::npos) << state;
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitExit(), 0) << listen.err;
}

}  // namespace
}  // namespace nira::listen
