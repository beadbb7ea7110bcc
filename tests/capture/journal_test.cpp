// The capture journal: each line appended in Save's bytes to the day's file, a new file at a new
// day, a folder it cannot write told and tried again, old days and a journal too big pruned.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../support/temp_dir.hpp"
#include "capture/journal.hpp"

namespace nira::capture {
namespace {

namespace fs = std::filesystem;
using nira::testing::TempDir;

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

receiver::ClockReading day(int d, int hour = 10) {
    return {2026, 12, d, hour, 0, 0};
}

TEST(Journal, EachLineGoesToItsDaysFileInSavesBytes) {
    TempDir dir;
    Journal journal(dir / "state" / "journal");
    std::string error;
    // Control bytes and Windows-1251 letters stay bytes.
    const std::string first =
        std::string("11.12.2026 10:00:00 --> TEST: 01, CS: FE") + std::string("\0\x98\xC0", 3);
    ASSERT_TRUE(journal.append(first, day(11), error)) << error;
    ASSERT_TRUE(journal.append("second", day(11, 23), error)) << error;
    ASSERT_TRUE(journal.append("next day", day(12, 0), error)) << error;
    EXPECT_EQ(bytesOf(dir / "state" / "journal" / "nira7-2026-12-11.txt"),
              first + "\r\nsecond\r\n");
    EXPECT_EQ(bytesOf(dir / "state" / "journal" / "nira7-2026-12-12.txt"), "next day\r\n");
    EXPECT_TRUE(error.empty());
}

TEST(Journal, AFolderItCannotWriteIsToldAndTriedAgain) {
    TempDir dir;
    std::ofstream(dir / "blocked") << "a file where the folder should be";
    Journal journal(dir / "blocked" / "journal");
    std::string error;
    EXPECT_FALSE(journal.append("lost", day(11), error));
    EXPECT_NE(error.find("the capture journal"), std::string::npos) << error;
    EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
    fs::remove(dir / "blocked");
    error.clear();
    EXPECT_TRUE(journal.append("kept", day(11), error)) << error;
    EXPECT_EQ(bytesOf(dir / "blocked" / "journal" / "nira7-2026-12-11.txt"), "kept\r\n");
}

TEST(Journal, OldDaysAndTheOldestBeyondItsSizeArePruned) {
    TempDir dir;
    const fs::path folder = dir / "journal";
    fs::create_directories(folder);
    const auto now = fs::file_time_type::clock::now();
    const auto make = [&](const char* name, std::size_t size, std::chrono::hours age) {
        std::ofstream(folder / name, std::ios::binary) << std::string(size, 'x');
        fs::last_write_time(folder / name, now - age);
    };
    make("nira7-2026-08-01.txt", 100, std::chrono::hours(24 * 100));  // older than 90 days
    make("nira7-2026-11-01.txt", 600, std::chrono::hours(24 * 40));
    make("nira7-2026-11-02.txt", 300, std::chrono::hours(24 * 39));
    make("nira7-2026-12-10.txt", 300, std::chrono::hours(24));
    make("notes.txt", 5000, std::chrono::hours(24 * 200));  // not the journal's
    Journal journal(folder, 1000);
    std::string error;
    ASSERT_TRUE(journal.append("today", day(11), error)) << error;
    EXPECT_EQ(journal.prune(), 2);
    EXPECT_FALSE(fs::exists(folder / "nira7-2026-08-01.txt")) << "older than kept";
    EXPECT_FALSE(fs::exists(folder / "nira7-2026-11-01.txt")) << "the oldest beyond the size";
    EXPECT_TRUE(fs::exists(folder / "nira7-2026-11-02.txt"));
    EXPECT_TRUE(fs::exists(folder / "nira7-2026-12-10.txt"));
    EXPECT_TRUE(fs::exists(folder / "nira7-2026-12-11.txt"));
    EXPECT_TRUE(fs::exists(folder / "notes.txt"));
}

}  // namespace
}  // namespace nira::capture
