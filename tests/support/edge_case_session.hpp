#pragma once
// The receiver traffic both front ends' end-to-end tests play, so the window and nira7-listen
// are checked against the very same bytes: a 400-byte burst with a tail that leads the next
// chunk, a test and an event message, a body of the wrong length, noise, control bytes.
namespace nira::testing {

inline constexpr const char* kEdgeCaseSession =
    "wait-open\n"
    "raw 5A*400 41 42\n"  // first on the line, so the burst reaches the port in one piece
    "drain\n"
    "raw 43\n"  // AB left by the 400-byte read leads this chunk: ABC, a test message
    "expect-ack\n"
    "test 01 FE\n"
    "expect-ack\n"
    "raw 3E 1B 05 FF 5C 00 12 34 AB\n"  // a body of eight: dropped
    "drain\n"
    "event 10 1B 05 FF 5C 00 12 34 AB\n"
    "expect-ack\n"
    "raw 41 42 43 44\n"
    "drain\n"
    "raw 3E 01*19\n"  // two events read together: dropped
    "drain\n"
    "raw 00 0D 0A 58 59 5A 7F 80 FF\n"
    "drain\n";

}  // namespace nira::testing
