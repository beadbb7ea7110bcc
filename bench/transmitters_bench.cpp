// The transmitter table's figures, as `name: value` lines:
//   update_us_10k        one message into a table of 10,000 known transmitters (mean of
//                        1,000,000, the IDs spread over the table; a third of them repeats)
//   update_us_1          the same with one transmitter, and the ratio
//   bytes_per_row        memory per known transmitter (heap growth over 100,000 rows with names)
// Usage: transmitters-bench
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "capture/transmitters.hpp"

using namespace nira;

namespace {

receiver::EventBody event(capture::TransmitterId id, std::uint8_t dt) {
    return {0x01,
            static_cast<std::uint8_t>(id >> 16),
            static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id),
            dt,
            0x00,
            0x12,
            0x34,
            0x56};
}

double updateMicroseconds(std::size_t transmitters, std::size_t messages) {
    capture::TransmitterTable table;
    std::mt19937 random(7);
    std::vector<receiver::EventBody> bodies;
    bodies.reserve(messages);
    for (std::size_t i = 0; i < messages; ++i) {
        const auto id = static_cast<capture::TransmitterId>(random() % transmitters) * 97U;
        bodies.push_back(event(id & 0xFFFFFFU, static_cast<std::uint8_t>(random() % 3)));
    }
    capture::TimePoint at = capture::WallClock::now();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& body : bodies) {
        at += std::chrono::milliseconds(1);
        table.onEvent(body, at);
    }
    const auto spent = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(spent).count() / static_cast<double>(messages);
}

}  // namespace

// What the heap holds, large blocks (mapped on their own) included.
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

int main() {
    const double many = updateMicroseconds(10'000, 1'000'000);
    const double one = updateMicroseconds(1, 1'000'000);
    std::printf("update_us_10k: %.3f\nupdate_us_1: %.3f\nupdate_ratio_10k_to_1: %.2f\n", many, one,
                many / one);

    const std::size_t before = heapInUse();
    {
        capture::TransmitterTable table;
        capture::TimePoint at = capture::WallClock::now();
        std::vector<capture::ListEntry> names;
        for (capture::TransmitterId id = 0; id < 100'000; ++id) {
            names.push_back({id, "Transmitter number " + std::to_string(id)});
        }
        table.applyList(names);
        names.clear();
        names.shrink_to_fit();
        for (capture::TransmitterId id = 0; id < 100'000; ++id) {
            table.onEvent(event(id, 0), at);
        }
        const std::size_t after = heapInUse();
        std::printf("bytes_per_row: %.0f\n",
                    static_cast<double>(after - before) / static_cast<double>(table.rows().size()));
    }
    return 0;
}
