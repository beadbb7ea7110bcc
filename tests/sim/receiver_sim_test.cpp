// The simulator against the serial component over its pseudo-terminal: it is listed while it
// runs, every message that should be acknowledged is, nothing else is, and it is gone after.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "../serial/pump.hpp"
#include "../support/sim_process.hpp"
#include "../support/temp_dir.hpp"
#include "receiver/message.hpp"
#include "serial/com_port.hpp"

namespace nira::sim {
namespace {

using nira::testing::pumpUntil;
using nira::testing::SimProcess;
using nira::testing::TempDir;
using nira::testing::writeFile;

bool listed(const std::string& path) {
    std::vector<std::string> ports;
    serial::ListSerialPorts(ports);
    return std::find(ports.begin(), ports.end(), path) != ports.end();
}

class ReceiverSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("NIRA7_REGISTRY", (dir / "registry.reg").c_str(), 1);
        platform::MainThreadQueue::instance().bindToCurrentThread();
    }
    void TearDown() override { ::unsetenv("NIRA7_REGISTRY"); }

    // Listens like the analyser's handler: wait, read up to 400, acknowledge what is a message.
    void listen(serial::TBComPort& port, const std::string& path) {
        port.SetPort(path);
        nira::testing::useWindowTimeouts(port);
        port.OnRxChar = [this](serial::TBComPort* sender, std::int32_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            std::string chunk;
            sender->ReadText(chunk, receiver::kMaxChunk);
            chunks.push_back(chunk);
            if (receiver::isAcknowledged(receiver::classifyChunk(chunk).kind)) {
                sender->WriteText(std::string(receiver::kAcknowledgement));
            }
        };
        ASSERT_TRUE(port.OpenPort());
    }

    TempDir dir;
    std::vector<std::string> chunks;
};

TEST_F(ReceiverSimTest, EveryMessageOfTheEdgeCaseScriptGetsExactlyItsAcknowledgement) {
    writeFile(dir / "cases.txt",
              "wait-open\n"
              // First on the line, so the burst reaches the port in one piece (a later one may
              // come in two, and then AB is news of its own, as Windows would report it too).
              "raw 41*400 41 42      # 400 read first; AB waits in the port ...\n"
              "drain\n"
              "raw 43                # ... and leads the next chunk: ABC, a test message\n"
              "expect-ack\n"
              "test 01 02            # test message\n"
              "expect-ack\n"
              "raw 41 42 43          # three characters without the lead-in: a test message\n"
              "expect-ack\n"
              "raw 30 31 32 33 34 35 36 37 38 39   # ten without the lead-in: an event\n"
              "expect-ack\n"
              "event 00 0A FF 00 0A FF 00 0A FF\n"
              "expect-ack\n"
              "raw 3E                # lead-in alone: dropped\n"
              "drain\n"
              "raw 3E 01\n"
              "drain\n"
              "raw 3E 01 02 03 04 05 06 07 08\n"
              "drain\n"
              "raw 3E 01*10\n"
              "drain\n"
              "raw 3E 01*19          # two events read together: dropped\n"
              "drain\n"
              "raw 41 42 43 44       # unrecognised\n"
              "drain\n"
              "raw 00 0D 0A 1B FF    # control bytes, unrecognised\n"
              "drain\n");
    SimProcess sim({"--script", (dir / "cases.txt").string(), "--expect-acks", "--linger", "500"});
    const std::string path = sim.portPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(listed(path));

    serial::TBComPort port;
    listen(port, path);
    ASSERT_TRUE(pumpUntil([&] { return chunks.size() >= 13; }, std::chrono::seconds(20)))
        << ::testing::PrintToString(chunks);
    port.ClosePort();
    ASSERT_TRUE(pumpUntil([&] { return sim.exited().has_value(); }));

    const auto figures = sim.figures();
    EXPECT_EQ(*sim.exited(), 0);
    EXPECT_EQ(figures.at("sent_test"), "1");
    EXPECT_EQ(figures.at("sent_event"), "1");
    EXPECT_EQ(figures.at("sent_other"), "11");
    EXPECT_EQ(figures.at("acks"), "5");
    EXPECT_EQ(figures.at("acks_missing"), "0");
    EXPECT_EQ(figures.at("acks_unexpected"), "0");
    EXPECT_GE(std::stod(figures.at("ack_p50_ms")), 40.0) << "the handler waits 40 ms";
    ASSERT_EQ(chunks.size(), 13U);
    EXPECT_EQ(chunks[0], std::string(400, 'A'));
    EXPECT_EQ(chunks[1], "ABC");
    EXPECT_FALSE(listed(path)) << "still registered after the end";
}

TEST_F(ReceiverSimTest, AMissingAcknowledgementFailsTheRun) {
    writeFile(dir / "one.txt", "event 01 02 03 04 05 06 07 08 09\nexpect-ack 300\n");
    SimProcess sim({"--script", (dir / "one.txt").string(), "--expect-acks", "--linger", "0"});
    ASSERT_FALSE(sim.portPath().empty());
    ASSERT_TRUE(pumpUntil([&] { return sim.exited().has_value(); }));
    EXPECT_EQ(*sim.exited(), 1);
    EXPECT_EQ(sim.figures().at("acks_missing"), "1");
}

TEST_F(ReceiverSimTest, AMergeEarlyInALoadRunLeavesTheLaterTimesAsTheyAre) {
    // Messages 2 and 3 go out together and are read as one chunk: neither is answered. Paired
    // with the oldest message owed, every later "<" would be an interval late.
    constexpr int kIntervalMs = 300;
    SimProcess sim({"--count", "12", "--interval", std::to_string(kIntervalMs), "--merge-at", "3",
                    "--wait-open", "--linger", "500"});
    const std::string path = sim.portPath();
    ASSERT_FALSE(path.empty());
    serial::TBComPort port;
    listen(port, path);
    ASSERT_TRUE(pumpUntil([&] { return sim.exited().has_value(); }, std::chrono::seconds(30)));
    port.ClosePort();
    const auto figures = sim.figures();
    EXPECT_EQ(chunks.size(), 11U) << ::testing::PrintToString(chunks);
    EXPECT_EQ(figures.at("acks"), "10");
    EXPECT_EQ(figures.at("acks_missing"), "2");
    EXPECT_EQ(figures.at("acks_unexpected"), "0");
    EXPECT_LT(std::stod(figures.at("ack_p50_ms")), kIntervalMs);
}

TEST_F(ReceiverSimTest, DemoIsListedWhileItRunsAndUnregistersOnSignal) {
    SimProcess sim({"--demo", "--seed", "3"});
    const std::string path = sim.portPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(listed(path));

    serial::TBComPort port;
    listen(port, path);
    ASSERT_TRUE(pumpUntil([&] { return chunks.size() >= 2; }, std::chrono::seconds(10)));
    port.ClosePort();
    sim.signal(SIGTERM);
    ASSERT_TRUE(pumpUntil([&] { return sim.exited().has_value(); }));
    EXPECT_EQ(*sim.exited(), 0);
    const auto figures = sim.figures();
    EXPECT_GE(std::stoi(figures.at("sent_event")) + std::stoi(figures.at("sent_test")) +
                  std::stoi(figures.at("sent_other")),
              2);
    EXPECT_EQ(figures.at("acks_unexpected"), "0");
    EXPECT_FALSE(listed(path));
}

}  // namespace
}  // namespace nira::sim
