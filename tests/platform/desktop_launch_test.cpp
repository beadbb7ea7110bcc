// Launches go to the desktop's opener in a session of their own, and leave no zombie behind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "../support/temp_dir.hpp"
#include "platform/desktop.hpp"

namespace nira::platform {
namespace {

TEST(DesktopLaunch, TheOpenerRunsDetachedAndIsReaped) {
    nira::testing::TempDir dir;
    const auto marker = dir.path() / "opened.txt";
    const auto opener = dir.path() / "xdg-open";
    {
        std::ofstream script(opener);
        // The new session: the opener is a session leader, its session id its own pid.
        script << "#!/bin/sh\necho \"$1 $(ps -o sid= -p $$) $$\" > '" << marker.string() << "'\n";
    }
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    const std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
    systemShellExecute("open", "www.example.org", 1);
    ::setenv("PATH", oldPath.c_str(), 1);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::ifstream in(marker);
    std::string url;
    long session = 0;
    long pid = -1;
    in >> url >> session >> pid;
    EXPECT_EQ(url, "http://www.example.org");
    EXPECT_EQ(session, pid) << "a session of its own";
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left to reap";
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace nira::platform
