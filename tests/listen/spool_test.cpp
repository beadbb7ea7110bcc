// The spool on its own: what an earlier run left is read back in order, damage is skipped and
// counted, a full spool drops its oldest, and what the broker took leaves the disk.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "spool.hpp"
#include "temp_dir.hpp"

namespace nira::listen {
namespace {

using nira::testing::TempDir;

const std::atomic<bool> kGoOn{false};

std::vector<std::string> payloads(const std::vector<Spool::Record>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) {
        out.push_back(r.topic + " " + r.payload);
    }
    return out;
}

std::vector<std::filesystem::path> segments(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> out;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        if (item.path().extension() == ".seg") {
            out.push_back(item.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

void fill(Spool& spool, int from, int to, std::size_t size = 10) {
    std::string error;
    for (int i = from; i <= to; ++i) {
        std::string payload = std::to_string(i);
        payload.resize(std::max(size, payload.size()), '.');
        ASSERT_TRUE(spool.append(i % 2 == 0 ? "event" : "test", payload, error)) << error;
    }
}

TEST(Spool, WhatARunLeftIsReadBackInOrderAndWhatTheBrokerTookIsGone) {
    TempDir dir;
    {
        Spool spool(dir / "spool", Spool::kMinBytes);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        ASSERT_TRUE(spool.recover(kGoOn));
        fill(spool, 1, 5);
        // The broker took the first two.
        const auto out = spool.take(2);
        ASSERT_EQ(out.size(), 2U);
        spool.delivered(out[1].number);
        spool.delivered(out[0].number);
        EXPECT_EQ(spool.waiting(), 3U);
    }
    Spool again(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(again.open(error)) << error;
    ASSERT_TRUE(again.recover(kGoOn));
    EXPECT_EQ(again.recovered(), 3) << "what the broker took is not read back";
    // Written after the read-back, handed out after it.
    fill(again, 6, 6);
    std::vector<std::string> expected;
    for (int i = 3; i <= 6; ++i) {
        expected.push_back((i % 2 == 0 ? "event " : "test ") + std::to_string(i) + ".........");
    }
    EXPECT_EQ(payloads(again.take(100)), expected);
    EXPECT_TRUE(again.take(100).empty()) << "each is handed out once";
    again.rewind();
    const auto all = again.take(100);
    ASSERT_EQ(all.size(), 4U) << "a new connection gets them all again";
    for (const auto& r : all) {
        again.delivered(r.number);
    }
    EXPECT_EQ(again.waiting(), 0U);
    EXPECT_EQ(again.bytesOnDisk(), 0U);
    const auto left = segments(dir / "spool");
    ASSERT_EQ(left.size(), 1U) << "the old segment is deleted, the newest emptied";
    EXPECT_EQ(std::filesystem::file_size(left[0]), 0U);
}

// A restart sends again only what the broker had not taken: not the taken part of a segment
// (up to an eighth of the bound), whatever the order the broker confirmed in.
TEST(Spool, ARestartReadsBackOnlyWhatTheBrokerHadNotTaken) {
    const struct {
        const char* what;
        std::vector<int> delivered;  // of records 1 to 10
        int firstBack;               // the first read back (11: none)
    } cases[]{
        {"the first six", {1, 2, 3, 4, 5, 6}, 7},
        {"out of order, the first four whole", {2, 1, 4, 3, 6}, 5},
        {"all", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 11},
        {"none", {}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        {
            Spool spool(dir / "spool", Spool::kMinBytes);
            std::string error;
            ASSERT_TRUE(spool.open(error)) << error;
            ASSERT_TRUE(spool.recover(kGoOn));
            fill(spool, 1, 10);
            const auto out = spool.take(10);
            for (const int n : c.delivered) {
                spool.delivered(out[static_cast<std::size_t>(n - 1)].number);
            }
        }
        Spool again(dir / "spool", Spool::kMinBytes);
        std::string error;
        ASSERT_TRUE(again.open(error)) << error;
        ASSERT_TRUE(again.recover(kGoOn));
        const auto back = again.take(100);
        std::vector<int> numbers;
        for (const auto& r : back) {
            numbers.push_back(std::stoi(r.payload));
        }
        // From the first the broker had not taken on: one it took after that goes again.
        std::vector<int> expected;
        for (int i = c.firstBack; i <= 10; ++i) {
            expected.push_back(i);
        }
        EXPECT_EQ(numbers, expected);
        EXPECT_EQ(static_cast<long>(numbers.size()), again.recovered());
    }
    // After all was taken the newest segment starts again empty, and what follows is owed.
    TempDir dir;
    {
        Spool spool(dir / "spool", Spool::kMinBytes);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        ASSERT_TRUE(spool.recover(kGoOn));
        fill(spool, 1, 3);
        for (const auto& r : spool.take(3)) {
            spool.delivered(r.number);
        }
        fill(spool, 4, 5);
    }
    Spool again(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(again.open(error)) << error;
    ASSERT_TRUE(again.recover(kGoOn));
    EXPECT_EQ(payloads(again.take(100)),
              (std::vector<std::string>{"event 4.........", "test 5........."}));
}

TEST(Spool, DamagedRecordsAreSkippedAndCountedAndTheRestKept) {
    struct Case {
        const char* name;
        // Changes the file that holds records 1 to 6 (each kHeader + 6 + 1 + 10 bytes).
        void (*damage)(std::string& bytes);
        long damaged;
        std::vector<std::string> kept;
    };
    const std::size_t record = 12 + 5 + 1 + 10;  // "event"/"test " topics differ by a byte
    (void)record;
    const std::vector<Case> cases = {
        {"a byte of a payload flipped",
         [](std::string& b) { b[b.find("3.....") + 2] ^= 0x20; },
         1,
         {"1", "2", "4", "5", "6"}},
        {"garbage in the middle",
         [](std::string& b) { b.insert(b.find("N7S1", 40), "\xff\xfe garbage N7S"); },
         1,
         {"1", "2", "3", "4", "5", "6"}},
        {"a record cut short at the end (the run ended while writing)",
         [](std::string& b) { b.resize(b.size() - 4); },
         1,
         {"1", "2", "3", "4", "5"}},
        {"a length far too big",
         [](std::string& b) { b[b.find("N7S1", 1) + 7] = '\x7f'; },
         1,
         {"1", "3", "4", "5", "6"}},
        {"two damaged stretches",
         [](std::string& b) {
             b[b.find("2.....") + 1] ^= 1;
             b[b.find("5.....") + 1] ^= 1;
         },
         2,
         {"1", "3", "4", "6"}},
        {"nothing but garbage", [](std::string& b) { b = std::string(300, 'x'); }, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        {
            Spool spool(dir / "spool", Spool::kMinBytes);
            std::string error;
            ASSERT_TRUE(spool.open(error)) << error;
            ASSERT_TRUE(spool.recover(kGoOn));
            fill(spool, 1, 6);
        }
        const auto files = segments(dir / "spool");
        ASSERT_EQ(files.size(), 1U);
        std::string bytes;
        {
            std::ifstream in(files[0], std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        c.damage(bytes);
        std::ofstream(files[0], std::ios::binary | std::ios::trunc) << bytes;
        Spool spool(dir / "spool", Spool::kMinBytes);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        ASSERT_TRUE(spool.recover(kGoOn));
        EXPECT_EQ(spool.damaged(), c.damaged);
        std::vector<std::string> kept;
        for (const auto& r : spool.take(100)) {
            kept.push_back(r.payload.substr(0, r.payload.find('.')));
        }
        EXPECT_EQ(kept, c.kept);
    }
}

TEST(Spool, AFullSpoolDropsItsOldestAndCountsThem) {
    TempDir dir;
    Spool spool(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(spool.open(error)) << error;
    ASSERT_TRUE(spool.recover(kGoOn));
    // 1 KiB records: 64 fit, the 65th drops the oldest segment (8 KiB, 8 records at most).
    fill(spool, 1, 100, 1000);
    EXPECT_LE(spool.bytesOnDisk(), Spool::kMinBytes);
    EXPECT_GT(spool.dropped(), 0);
    EXPECT_EQ(static_cast<long>(spool.waiting()) + spool.dropped(), 100);
    const auto kept = spool.take(1000);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().payload.substr(0, 3), "100");
    EXPECT_EQ(kept.front().payload.substr(0, kept.front().payload.find('.')),
              std::to_string(spool.dropped() + 1))
        << "the oldest went, in order";
    // A record handed out and then dropped is not taken twice when the broker acknowledges it.
    fill(spool, 101, 130, 1000);
    spool.delivered(kept.front().number);
    EXPECT_EQ(static_cast<long>(spool.waiting()) + spool.dropped(), 130);
}

// A disk that refuses (here a file size limit, as a full disk would) and then takes writes again:
// the records it refused are kept, written before the next one, and read back in order.
TEST(Spool, RecordsTheDiskRefusedAreWrittenWhenItTakesThemAgain) {
    TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        Spool spool(dir / "spool", Spool::kMinBytes);
        std::string error;
        int refused = 0;
        bool ok = spool.open(error);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit was = limit;
        limit.rlim_cur = 1000;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        for (int i = 1; i <= 30; ++i) {
            std::string payload = std::to_string(i);
            payload.resize(60, '.');
            if (!spool.append("event", payload, error)) {
                ++refused;
                ok = ok && error.find("cannot write the spool file") != std::string::npos;
            }
        }
        ok = ok && refused > 10 && spool.unwritten() == static_cast<std::size_t>(refused);
        // The broker takes the first of those kept in memory meanwhile.
        const auto out = spool.take(30);
        spool.delivered(out.at(static_cast<std::size_t>(30 - refused)).number);
        ::setrlimit(RLIMIT_FSIZE, &was);
        ok = ok && spool.append("event", "31", error) && spool.unwritten() == 0;
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "in the child: see its checks";
    Spool spool(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(spool.open(error)) << error;
    ASSERT_TRUE(spool.recover(kGoOn));
    EXPECT_EQ(spool.damaged(), 0);
    std::vector<std::string> numbers;
    for (const auto& r : spool.take(100)) {
        numbers.push_back(r.payload.substr(0, r.payload.find('.')));
    }
    ASSERT_EQ(numbers.size(), 30U) << "all but the one the broker took";
    EXPECT_TRUE(std::is_sorted(
        numbers.begin(), numbers.end(),
        [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); }));
    EXPECT_EQ(numbers.back(), "31");
}

// A backlog costs an index entry a record, not its payload: what is on the disk is read from
// there as the broker takes it, after what an earlier run left and before what came meanwhile.
TEST(Spool, ABacklogIsReadFromTheDiskAsItDrainsAndNotHeldInMemory) {
    TempDir dir;
    constexpr int kCount = 20000;
    constexpr std::size_t kSize = 300;
    {
        Spool spool(dir / "spool", 64ULL << 20);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        ASSERT_TRUE(spool.recover(kGoOn));
        fill(spool, 1, kCount, kSize);
        EXPECT_LE(spool.heldBytes(), Spool::kHeldBytes) << "only the newest in memory";
    }
    Spool spool(dir / "spool", 64ULL << 20);
    std::string error;
    ASSERT_TRUE(spool.open(error)) << error;
    // Taken while the earlier run's records are not read yet: they go after those.
    fill(spool, kCount + 1, kCount + 3, kSize);
    EXPECT_TRUE(spool.take(10).empty()) << "nothing is handed out before the read-back";
    ASSERT_TRUE(spool.recover(kGoOn));
    EXPECT_EQ(spool.recovered(), kCount);
    EXPECT_EQ(spool.waiting(), static_cast<std::size_t>(kCount + 3));
    EXPECT_LE(spool.heldBytes(), 3 * (kSize + 20)) << "the earlier run's payloads stay on disk";
    // A record damaged on the disk after it was written is skipped and counted.
    {
        const auto files = segments(dir / "spool");
        std::fstream file(files.front(), std::ios::in | std::ios::out | std::ios::binary);
        std::string head(4096, '\0');
        file.read(head.data(), static_cast<std::streamsize>(head.size()));
        const std::size_t at = head.find("7....");
        ASSERT_NE(at, std::string::npos);
        file.seekp(static_cast<std::streamoff>(at + 2));
        file.put('#');
    }
    int expected = 1;
    long read = 0;
    for (;;) {
        const auto batch = spool.take(100);
        if (batch.empty()) {
            break;
        }
        for (const auto& r : batch) {
            if (expected == 7) {
                ++expected;
            }
            ASSERT_EQ(std::stoi(r.payload), expected) << "in order, each once";
            ASSERT_EQ(r.payload.size(), kSize);
            ASSERT_EQ(r.topic, expected % 2 == 0 ? "event" : "test");
            ++expected;
            ++read;
            spool.delivered(r.number);
        }
        ASSERT_LE(spool.heldBytes(), Spool::kHeldBytes);
    }
    EXPECT_EQ(read, kCount + 2);
    EXPECT_EQ(spool.damaged(), 1);
    EXPECT_EQ(spool.waiting(), 0U);
    EXPECT_EQ(spool.bytesOnDisk(), 0U);
}

TEST(Spool, ARecordSetAsideIsKeptApartAndTheRestGoOn) {
    TempDir dir;
    {
        Spool spool(dir / "spool", Spool::kMinBytes);
        std::string error;
        ASSERT_TRUE(spool.open(error)) << error;
        ASSERT_TRUE(spool.recover(kGoOn));
        fill(spool, 1, 3);
        const auto out = spool.take(3);
        ASSERT_EQ(out.size(), 3U);
        spool.setAside(out[0].number);
        EXPECT_EQ(spool.setAsideCount(), 1);
        EXPECT_EQ(spool.waiting(), 2U);
        spool.rewind();
        EXPECT_EQ(payloads(spool.take(3)),
                  (std::vector<std::string>{"event 2.........", "test 3........."}))
            << "a new connection does not send it again";
        spool.delivered(out[1].number);
    }
    std::ifstream in(dir / "spool" / "set-aside", std::ios::binary);
    const std::string kept{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(kept, Spool::encode("test", "1........."));
    Spool again(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(again.open(error)) << error;
    ASSERT_TRUE(again.recover(kGoOn));
    EXPECT_EQ(payloads(again.take(10)), (std::vector<std::string>{"test 3........."}));
}

TEST(Spool, OneListenerAtATime) {
    TempDir dir;
    Spool first(dir / "spool", Spool::kMinBytes);
    Spool second(dir / "spool", Spool::kMinBytes);
    std::string error;
    ASSERT_TRUE(first.open(error)) << error;
    ASSERT_TRUE(first.recover(kGoOn));
    EXPECT_FALSE(second.open(error));
    EXPECT_NE(error.find("is used by another nira7-listen"), std::string::npos) << error;
}

}  // namespace
}  // namespace nira::listen
