#pragma once
// A private folder for one test, removed with everything in it afterwards.
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace nira::testing {

class TempDir {
  public:
    // Made by create_directory, which fails on a name that exists: the folder is this test's
    // alone, on Windows too (no mkdtemp there).
    TempDir() {
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto candidate = base / ("nira7-test-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, ec);
                path_ = candidate;
                return;
            }
        }
        throw std::runtime_error("no temporary folder could be made");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace nira::testing
