// Feeds any byte string to the classifier and the renderers and checks every text against a
// second, deliberately different rendering of the same rules.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "receiver/log_text.hpp"
#include "receiver/message.hpp"

namespace {

using namespace nira::receiver;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

std::string hx(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

std::string bits(unsigned v) {
    std::string s;
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
        s += (v & mask) ? '1' : '0';
        if (mask == 0x10) {
            s += ' ';
        }
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string chunk(reinterpret_cast<const char*>(data), size);
    const Classified c = classifyChunk(chunk);

    const bool recognised = (size > 0 && data[0] == '>') || size == 3 || size == 10;
    ChunkKind expected = ChunkKind::Unrecognised;
    if (recognised) {
        expected = size == 3    ? ChunkKind::TestMessage
                   : size == 10 ? ChunkKind::EventMessage
                                : ChunkKind::Dropped;
    }
    check(c.kind == expected, "kind");

    switch (c.kind) {
        case ChunkKind::Unrecognised:
            check(unrecognisedLineContent(chunk) == "???: " + chunk, "unrecognised line");
            break;
        case ChunkKind::TestMessage:
            check(testLineContent(c.test) == "TEST: " + hx(data[1]) + ", CS: " + hx(data[2]),
                  "test line");
            break;
        case ChunkKind::EventMessage: {
            const std::uint8_t* b = data + 1;
            std::string label = "ST: " + hx(b[0]) + ", ID: ";
            for (int i = 1; i <= 3; ++i) {
                label += hx(b[i]) + "(" + std::to_string(b[i]) + ")";
            }
            label += ", DT: " + hx(b[4]) + "(" + bits(b[4]) + "), D1: " + hx(b[5]) + "(" +
                     bits(b[5]) + "), XXXX: " + hx(b[6]) + hx(b[7]) + ", CS: " + hx(b[8]);
            check(eventFieldLabel(c.event) == label, "field label");

            const std::string log = "ST: " + hx(b[0]) + ", ID: " + hx(b[1]) + hx(b[2]) + hx(b[3]) +
                                    ", DT: " + hx(b[4]) + ", D1: " + hx(b[5]) +
                                    ", XXXX: " + hx(b[6]) + hx(b[7]) + ", CS: " + hx(b[8]);
            check(eventLogContent(c.event) == log, "log content");

            static const char* const names[] = {"A0", "A1", "A2", "A3", "A4", "A5",
                                                "A6", "A7", "D3", "D2", "D1", "D0"};
            static const char letters[] = {'H', 'D', 'F', 'L'};  // indexed by the two bits
            std::string smart = "Smart:";
            for (int pin = 0; pin < 12; ++pin) {
                const unsigned byte = b[1 + pin / 4];
                const unsigned pair = (byte >> (6 - 2 * (pin % 4))) & 3U;
                smart += std::string(pin == 0 ? " " : ", ") + names[pin] + "=" + letters[pair];
            }
            check(smartLabel(c.event) == smart, "smart label");
            break;
        }
        case ChunkKind::Dropped:
            break;
    }

    // The append rule over arbitrary text: the old text stays a prefix, the line is there once.
    std::string text = chunk;
    appendLogLine(text, "L");
    check(text.compare(0, chunk.size(), chunk) == 0, "append keeps the text");
    const bool breakEnd = chunk.empty() || chunk.back() == '\n' || chunk.back() == '\r';
    check(text.substr(chunk.size()) == (breakEnd ? "L\r\n" : "\r\nL"), "append piece");
    return 0;
}
