#include "receiver/message.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nira::receiver {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

struct ClassifyCase {
    std::string name;
    std::string chunk;
    ChunkKind kind;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) {
    *os << c.name;
}

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, FollowsTheRecognitionAndBodyLengthRules) {
    EXPECT_EQ(classifyChunk(GetParam().chunk).kind, GetParam().kind);
}

std::vector<ClassifyCase> classifyCases() {
    std::vector<ClassifyCase> cases = {
        {"Empty", "", ChunkKind::Unrecognised},
        {"OneByteNotLed", "A", ChunkKind::Unrecognised},
        {"FourNotLed", "ABCD", ChunkKind::Unrecognised},
        {"ThreeNotLedIsTest", "ABC", ChunkKind::TestMessage},
        {"TenNotLedIsEvent", std::string(10, 'x'), ChunkKind::EventMessage},
        {"NineNotLed", std::string(9, 'x'), ChunkKind::Unrecognised},
        {"ElevenNotLed", std::string(11, 'x'), ChunkKind::Unrecognised},
        {"TwoEventsTogether", ">" + std::string(9, 'a') + ">" + std::string(9, 'b'),
         ChunkKind::Dropped},
        {"FullChunkOf400Led", ">" + std::string(399, 'z'), ChunkKind::Dropped},
        {"FullChunkOf400NotLed", std::string(400, 'z'), ChunkKind::Unrecognised},
    };
    // ">" followed by 0 to 12 bytes: only bodies of 2 and 9 are messages, the rest vanish.
    for (int body = 0; body <= 12; ++body) {
        ChunkKind kind = ChunkKind::Dropped;
        if (body == 2) {
            kind = ChunkKind::TestMessage;
        } else if (body == 9) {
            kind = ChunkKind::EventMessage;
        }
        cases.push_back({"LedBody" + std::to_string(body), ">" + std::string(body, '\x01'), kind});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Chunks, ClassifyTest, ::testing::ValuesIn(classifyCases()),
                         [](const auto& p) { return p.param.name; });

TEST(ClassifyChunk, BodyIsEverythingAfterTheFirstByteWhateverItIs) {
    const Classified test = classifyChunk("ABC");
    ASSERT_EQ(test.kind, ChunkKind::TestMessage);
    EXPECT_EQ(testLineContent(test.test), "TEST: 42, CS: 43");

    const Classified event = classifyChunk(bytes({'Q', 0, 1, 2, 3, 4, 5, 6, 7, 0xFF}));
    ASSERT_EQ(event.kind, ChunkKind::EventMessage);
    EXPECT_EQ(event.event, (EventBody{0, 1, 2, 3, 4, 5, 6, 7, 0xFF}));
}

TEST(ClassifyChunk, OnlyTestAndEventMessagesAreAcknowledged) {
    EXPECT_TRUE(isAcknowledged(ChunkKind::TestMessage));
    EXPECT_TRUE(isAcknowledged(ChunkKind::EventMessage));
    EXPECT_FALSE(isAcknowledged(ChunkKind::Unrecognised));
    EXPECT_FALSE(isAcknowledged(ChunkKind::Dropped));
}

TEST(TestLine, ShowsBodyBytesAsUpperCaseHex) {
    EXPECT_EQ(testLineContent({0x00, 0x0A}), "TEST: 00, CS: 0A");
    EXPECT_EQ(testLineContent({0xFF, 0xab}), "TEST: FF, CS: AB");
}

TEST(UnrecognisedLine, KeepsEveryByteOfTheChunk) {
    const std::string chunk = bytes({'A', 0, '\r', '\n', 0x7F, 0x80, 0xFF, 'D'});
    EXPECT_EQ(unrecognisedLineContent(chunk), "???: " + chunk);
    EXPECT_EQ(unrecognisedLineContent(""), "???: ");
}

TEST(Renderings, HexDecimalAndBitPattern) {
    struct Case {
        int value;
        const char* hex;
        const char* dec;
        const char* bits;
    };
    for (const Case& c :
         {Case{0x00, "00", "0", "0000 0000"}, Case{0x05, "05", "5", "0000 0101"},
          Case{0x0A, "0A", "10", "0000 1010"}, Case{0x5C, "5C", "92", "0101 1100"},
          Case{0x80, "80", "128", "1000 0000"}, Case{0xFF, "FF", "255", "1111 1111"}}) {
        const auto v = static_cast<std::uint8_t>(c.value);
        EXPECT_EQ(hexByte(v), c.hex);
        EXPECT_EQ(decimal(v), c.dec);
        EXPECT_EQ(bitPattern(v), c.bits);
    }
}

TEST(EventTexts, NineZeroBytes) {
    const EventBody body{};
    EXPECT_EQ(eventFieldLabel(body),
              "ST: 00, ID: 00(0)00(0)00(0), DT: 00(0000 0000), D1: 00(0000 0000), XXXX: 0000, "
              "CS: 00");
    EXPECT_EQ(eventLogContent(body), "ST: 00, ID: 000000, DT: 00, D1: 00, XXXX: 0000, CS: 00");
    EXPECT_EQ(smartLabel(body),
              "Smart: A0=H, A1=H, A2=H, A3=H, A4=H, A5=H, A6=H, A7=H, D3=H, D2=H, D1=H, D0=H");
}

TEST(EventTexts, NineFFBytes) {
    EventBody body;
    body.fill(0xFF);
    EXPECT_EQ(eventFieldLabel(body),
              "ST: FF, ID: FF(255)FF(255)FF(255), DT: FF(1111 1111), D1: FF(1111 1111), "
              "XXXX: FFFF, CS: FF");
    EXPECT_EQ(eventLogContent(body), "ST: FF, ID: FFFFFF, DT: FF, D1: FF, XXXX: FFFF, CS: FF");
    EXPECT_EQ(smartLabel(body),
              "Smart: A0=L, A1=L, A2=L, A3=L, A4=L, A5=L, A6=L, A7=L, D3=L, D2=L, D1=L, D0=L");
}

TEST(EventTexts, EachFieldComesFromItsOwnOffset) {
    // Distinct bytes catch swapped offsets; 0x1B, 0x05 and 0x5C are the awkward renderings.
    const EventBody body{0x12, 0x1B, 0x05, 0xE4, 0x5C, 0x0A, 0xAB, 0xCD, 0x9F};
    EXPECT_EQ(eventFieldLabel(body),
              "ST: 12, ID: 1B(27)05(5)E4(228), DT: 5C(0101 1100), D1: 0A(0000 1010), "
              "XXXX: ABCD, CS: 9F");
    EXPECT_EQ(eventLogContent(body), "ST: 12, ID: 1B05E4, DT: 5C, D1: 0A, XXXX: ABCD, CS: 9F");
    // 0x1B = 00 01 10 11, 0x05 = 00 00 01 01, 0xE4 = 11 10 01 00
    EXPECT_EQ(smartLabel(body),
              "Smart: A0=H, A1=D, A2=F, A3=L, A4=H, A5=H, A6=D, A7=D, D3=L, D2=F, D1=D, D0=H");
}

TEST(EventTexts, InitialCaptionsHaveTheLayoutOfTheirLiveTexts) {
    EXPECT_EQ(eventLogContent(EventBody{}).size(), kInitialFieldLabel.size());
    EXPECT_EQ(smartLabel(EventBody{}).size(), kInitialSmartLabel.size());
}

}  // namespace
}  // namespace nira::receiver
