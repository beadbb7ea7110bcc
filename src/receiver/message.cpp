#include "receiver/message.hpp"

namespace nira::receiver {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::uint8_t byteAt(std::string_view text, std::size_t index) {
    return static_cast<std::uint8_t>(text[index]);
}

template <std::size_t N>
std::array<std::uint8_t, N> bodyOf(std::string_view body) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = byteAt(body, i);
    }
    return out;
}

struct Pin {
    const char* name;
    std::size_t bodyOffset;
    unsigned shift;  // the pair is (byte >> shift) & 3
};

constexpr std::array<Pin, 12> kPins{{
    {"A0", 1, 6},
    {"A1", 1, 4},
    {"A2", 1, 2},
    {"A3", 1, 0},
    {"A4", 2, 6},
    {"A5", 2, 4},
    {"A6", 2, 2},
    {"A7", 2, 0},
    {"D3", 3, 6},
    {"D2", 3, 4},
    {"D1", 3, 2},
    {"D0", 3, 0},
}};

}  // namespace

Classified classifyChunk(std::string_view chunk) {
    Classified result;
    const bool recognised =
        (!chunk.empty() && chunk.front() == kLeadIn) || chunk.size() == 3 || chunk.size() == 10;
    if (!recognised) {
        result.kind = ChunkKind::Unrecognised;
        return result;
    }
    const std::string_view body = chunk.substr(1);
    if (body.size() == result.test.size()) {
        result.kind = ChunkKind::TestMessage;
        result.test = bodyOf<2>(body);
    } else if (body.size() == result.event.size()) {
        result.kind = ChunkKind::EventMessage;
        result.event = bodyOf<9>(body);
    } else {
        result.kind = ChunkKind::Dropped;
    }
    return result;
}

std::string hexByte(std::uint8_t value) {
    return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
}

std::string decimal(std::uint8_t value) {
    return std::to_string(static_cast<unsigned>(value));
}

std::string bitPattern(std::uint8_t value) {
    std::string out;
    out.reserve(9);
    for (int bit = 7; bit >= 0; --bit) {
        out.push_back(((value >> bit) & 1U) != 0 ? '1' : '0');
        if (bit == 4) {
            out.push_back(' ');
        }
    }
    return out;
}

char triStateLetter(unsigned twoBits) {
    switch (twoBits & 3U) {
        case 0:
            return 'H';
        case 3:
            return 'L';
        case 2:
            return 'F';
        default:
            return 'D';
    }
}

std::string testLineContent(const TestBody& body) {
    return "TEST: " + hexByte(body[0]) + ", CS: " + hexByte(body[1]);
}

std::string unrecognisedLineContent(std::string_view chunk) {
    std::string out = "???: ";
    out.append(chunk);
    return out;
}

std::string eventFieldLabel(const EventBody& b) {
    std::string out = "ST: " + hexByte(b[0]) + ", ID: ";
    for (std::size_t i = 1; i <= 3; ++i) {
        out += hexByte(b[i]) + "(" + decimal(b[i]) + ")";
    }
    out += ", DT: " + hexByte(b[4]) + "(" + bitPattern(b[4]) + ")";
    out += ", D1: " + hexByte(b[5]) + "(" + bitPattern(b[5]) + ")";
    out += ", XXXX: " + hexByte(b[6]) + hexByte(b[7]);
    out += ", CS: " + hexByte(b[8]);
    return out;
}

std::string eventLogContent(const EventBody& b) {
    return "ST: " + hexByte(b[0]) + ", ID: " + hexByte(b[1]) + hexByte(b[2]) + hexByte(b[3]) +
           ", DT: " + hexByte(b[4]) + ", D1: " + hexByte(b[5]) + ", XXXX: " + hexByte(b[6]) +
           hexByte(b[7]) + ", CS: " + hexByte(b[8]);
}

std::array<SmartPin, 12> smartPins(const EventBody& body) {
    std::array<SmartPin, 12> pins{};
    for (std::size_t i = 0; i < kPins.size(); ++i) {
        pins[i] = {kPins[i].name, triStateLetter(static_cast<unsigned>(body[kPins[i].bodyOffset] >>
                                                                       kPins[i].shift))};
    }
    return pins;
}

std::string smartLabel(const EventBody& body) {
    std::string out = "Smart:";
    bool first = true;
    for (const SmartPin& pin : smartPins(body)) {
        out += first ? " " : ", ";
        first = false;
        out += pin.name;
        out += '=';
        out += pin.state;
    }
    return out;
}

}  // namespace nira::receiver
