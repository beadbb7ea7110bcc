// The receiver's side of an arrival: what a front end keeps of a message is kept before the
// receiver is answered, and a chunk that is no message is kept but not answered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/pty_pair.hpp"
#include "capture/receiver_handler.hpp"
#include "platform/main_thread.hpp"

namespace nira::capture {
namespace {

TEST(ReceiverHandler, TheRecordIsKeptBeforeTheAnswerGoesOut) {
    platform::MainThreadQueue::instance().bindToCurrentThread();
    nira::testing::PtyPair receiver;
    serial::TBComPort port;
    port.SetPort(receiver.path());
    port.SetTimeouts(receiverTimeouts());
    ASSERT_TRUE(port.OpenPort());
    const struct {
        std::string sent;
        receiver::ChunkKind kind;
        bool answered;
    } cases[]{
        {std::string(">\x42\x43", 3), receiver::ChunkKind::TestMessage, true},
        {std::string(">\x10\x1B\x05\xFF\x5C\x00\x12\x34\xAB", 10),
         receiver::ChunkKind::EventMessage, true},
        {"ABCD", receiver::ChunkKind::Unrecognised, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(receiver.send(c.sent));
        std::vector<std::string> seenWhenRecorded;
        const Arrival arrival = handleArrival(
            port, [](std::chrono::milliseconds) {},
            [&](const Arrival& a) {
                // Nothing has reached the receiver yet.
                seenWhenRecorded.push_back(receiver.receive(50));
                EXPECT_EQ(a.acknowledged, c.answered);
                EXPECT_FALSE(a.logContent.empty());
            });
        ASSERT_EQ(seenWhenRecorded.size(), 1U) << "the record is made once";
        EXPECT_EQ(seenWhenRecorded.front(), "");
        EXPECT_EQ(arrival.message.kind, c.kind);
        EXPECT_EQ(receiver.receive(c.answered ? 2000 : 100), c.answered ? "<" : "");
    }
    port.ClosePort();
}

}  // namespace
}  // namespace nira::capture
