// The POSIX registry store: typed values survive, two writers both land, a damaged store is
// reported and never written over, and the serial port key shows registered virtual ports only
// while their device exists.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "../support/temp_dir.hpp"
#include "platform/store_registry.hpp"

namespace nira::platform {
namespace {

namespace fs = std::filesystem;
using nira::testing::readFile;
using nira::testing::TempDir;
using nira::testing::writeFile;

SerialScanRoots noSystemPorts(const TempDir& dir) {
    SerialScanRoots roots;
    roots.ttyClass = (dir / "no-sysfs").string();
    return roots;
}

class StoreRegistryTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string store = (dir / "config" / "nira7" / "registry.reg").string();
    std::unique_ptr<RegistryApi> registry = makeStoreRegistry(store, noSystemPorts(dir));

    HKEY create(const char* path = "\\SOFTWARE\\nira7-analyser", LONG* status = nullptr) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        const LONG s = registry->RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, REG_OPTION_NON_VOLATILE,
                                                 KEY_ALL_ACCESS, &key, &disposition);
        if (status != nullptr) {
            *status = s;
        }
        return s == ERROR_SUCCESS ? key : nullptr;
    }
    static LONG setDword(RegistryApi& r, HKEY key, const char* name, std::int32_t value) {
        return r.RegSetValueExA(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }
    std::vector<std::string> ports() {
        HKEY key = nullptr;
        EXPECT_EQ(registry->RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        std::vector<std::string> found;
        for (DWORD i = 0;; ++i) {
            char name[256];
            BYTE data[256];
            DWORD nameSize = sizeof name;
            DWORD dataSize = sizeof data;
            if (registry->RegEnumValueA(key, i, name, &nameSize, nullptr, data, &dataSize) !=
                ERROR_SUCCESS) {
                break;
            }
            found.emplace_back(reinterpret_cast<const char*>(data));
        }
        registry->RegCloseKey(key);
        return found;
    }
};

TEST_F(StoreRegistryTest, TypedValuesSurviveAFreshReader) {
    HKEY key = create();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(setDword(*registry, key, "cbPort.ItemIndex", -1), ERROR_SUCCESS);
    const char text[] = "COM1";
    EXPECT_EQ(registry->RegSetValueExA(key, "Text", REG_SZ, reinterpret_cast<const BYTE*>(text),
                                       sizeof text),
              ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 0xFE, 0xFF, '\n'};
    EXPECT_EQ(registry->RegSetValueExA(key, "Blob", REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    EXPECT_EQ(registry->RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(registry->RegCloseKey(key), ERROR_INVALID_HANDLE);

    auto other = makeStoreRegistry(store, noSystemPorts(dir));
    ASSERT_EQ(
        other->RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\NIRA7-analyser", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    // Without a buffer: type and size only.
    EXPECT_EQ(other->RegQueryValueExA(key, "cbPort.ItemIndex", &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4U);
    std::int32_t number = 0;
    EXPECT_EQ(other->RegQueryValueExA(key, "cbPort.ItemIndex", &type,
                                      reinterpret_cast<BYTE*>(&number), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(number, -1);

    BYTE small[4];
    size = sizeof small;
    EXPECT_EQ(other->RegQueryValueExA(key, "Text", &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5U);
    BYTE buffer[16];
    size = sizeof buffer;
    EXPECT_EQ(other->RegQueryValueExA(key, "Text", &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("COM1", 5));
    size = sizeof buffer;
    EXPECT_EQ(other->RegQueryValueExA(key, "Blob", &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), std::vector<BYTE>(blob, blob + 5));
    EXPECT_EQ(other->RegQueryValueExA(key, "Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    other->RegCloseKey(key);

    EXPECT_EQ(other->RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\other", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(StoreRegistryTest, CreatingAKeyWritesItOnce) {
    LONG status = 0;
    HKEY key = create("\\SOFTWARE\\fresh", &status);
    ASSERT_EQ(status, ERROR_SUCCESS);
    registry->RegCloseKey(key);
    EXPECT_NE(readFile(store).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\fresh]"), std::string::npos);

    const auto before = fs::last_write_time(store);
    const auto text = readFile(store);
    registry->RegCloseKey(create("\\SOFTWARE\\fresh"));
    EXPECT_EQ(fs::last_write_time(store), before) << "opening an existing key rewrote the store";
    EXPECT_EQ(readFile(store), text);
}

TEST_F(StoreRegistryTest, DamagedStoreIsReportedAndKeptWhole) {
    const std::string damaged =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\"
        "SOFTWARE\\nira7-analyser]\n\"cbPort.ItemIndex\"=dword:zz\n";
    writeFile(store, damaged);
    LONG status = 0;
    EXPECT_EQ(create("\\SOFTWARE\\nira7-analyser", &status), nullptr);
    EXPECT_EQ(status, ERROR_BADDB);
    HKEY key = nullptr;
    EXPECT_EQ(
        registry->RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\nira7-analyser", 0, KEY_READ, &key),
        ERROR_BADDB);
    EXPECT_EQ(readFile(store), damaged);
    EXPECT_TRUE(ports().empty()) << "the port key still opens";

    // The store goes bad while a key is open: the write is refused, not made over less.
    fs::remove(store);
    key = create();
    ASSERT_NE(key, nullptr);
    writeFile(store, damaged);
    EXPECT_EQ(setDword(*registry, key, "cbPort.ItemIndex", 3), ERROR_BADDB);
    EXPECT_EQ(readFile(store), damaged);
    registry->RegCloseKey(key);

    // A folder where the store should be cannot be read: an error, nothing thrown.
    fs::remove(store);
    fs::create_directories(store);
    EXPECT_EQ(create("\\SOFTWARE\\nira7-analyser", &status), nullptr);
    EXPECT_NE(status, ERROR_SUCCESS);
}

TEST_F(StoreRegistryTest, TwoWritersAtOnceBothLand) {
    constexpr int kEach = 40;
    const auto writer = [this](const char* prefix) {
        auto own = makeStoreRegistry(store, noSystemPorts(dir));
        HKEY key = nullptr;
        ASSERT_EQ(own->RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\shared", 0, KEY_ALL_ACCESS,
                                       &key, nullptr),
                  ERROR_SUCCESS);
        for (int i = 0; i < kEach; ++i) {
            ASSERT_EQ(setDword(*own, key, (prefix + std::to_string(i)).c_str(), i), ERROR_SUCCESS);
        }
        own->RegCloseKey(key);
    };
    // One writer in another process, one in a thread here.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer("child");
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    std::thread here(writer, "parent");
    here.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    HKEY key = nullptr;
    ASSERT_EQ(registry->RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\shared", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    int count = 0;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD nameSize = sizeof name;
        if (registry->RegEnumValueA(key, i, name, &nameSize, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        ++count;
    }
    registry->RegCloseKey(key);
    EXPECT_EQ(count, 2 * kEach);
    EXPECT_FALSE(fs::exists(store + ".XXXXXX"));
}

TEST_F(StoreRegistryTest, RegisteredPortsShowWhileTheirDeviceExists) {
    const std::string device = (dir / "fake-tty").string();
    writeFile(device, "");
    HKEY key = create(kSerialCommKey);
    ASSERT_NE(key, nullptr);
    const std::string gone = (dir / "gone-tty").string();
    for (const auto& [name, path] : {std::pair{"sim 1", device}, std::pair{"sim 2", gone}}) {
        ASSERT_EQ(
            registry->RegSetValueExA(key, name, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                     static_cast<DWORD>(path.size() + 1)),
            ERROR_SUCCESS);
    }
    registry->RegCloseKey(key);
    EXPECT_EQ(ports(), std::vector<std::string>{device});

    key = create(kSerialCommKey);
    EXPECT_EQ(registry->RegDeleteValueA(key, "SIM 1"), ERROR_SUCCESS);
    EXPECT_EQ(registry->RegDeleteValueA(key, "sim 1"), ERROR_FILE_NOT_FOUND);
    registry->RegCloseKey(key);
    EXPECT_TRUE(ports().empty());
}

TEST_F(StoreRegistryTest, EnumerationReportsWhatDoesNotFit) {
    HKEY key = create();
    const std::string longText(300, 'x');
    ASSERT_EQ(registry->RegSetValueExA(key, "Long", REG_SZ,
                                       reinterpret_cast<const BYTE*>(longText.c_str()), 301),
              ERROR_SUCCESS);
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data;
    EXPECT_EQ(registry->RegEnumValueA(key, 0, name, &nameSize, nullptr, data, &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 301U);
    nameSize = 4;  // "Long" and its zero need five
    dataSize = sizeof data;
    EXPECT_EQ(registry->RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(registry->RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    registry->RegCloseKey(key);
}

TEST(RegistryStorePath, FollowsTheEnvironment) {
    const auto keep = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto own = keep("NIRA7_REGISTRY");
    const auto xdg = keep("XDG_CONFIG_HOME");
    const auto home = keep("HOME");
    ::unsetenv("NIRA7_REGISTRY");
    ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
    EXPECT_EQ(registryStorePath(), "/x/conf/nira7/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // must be absolute to count
    ::setenv("HOME", "/home/op", 1);
    EXPECT_EQ(registryStorePath(), "/home/op/.config/nira7/registry.reg");
    ::setenv("NIRA7_REGISTRY", "/tmp/own.reg", 1);
    EXPECT_EQ(registryStorePath(), "/tmp/own.reg");
    const auto restore = [](const char* name, const std::optional<std::string>& v) {
        v ? ::setenv(name, v->c_str(), 1) : ::unsetenv(name);
    };
    restore("NIRA7_REGISTRY", own);
    restore("XDG_CONFIG_HOME", xdg);
    restore("HOME", home);
}

}  // namespace
}  // namespace nira::platform
