// The port and speed positions across restarts, and the settings file at close.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>

#include "ui/main_form.hpp"
#include "ui/settings.hpp"
#include "ui_support.hpp"

namespace nira::ui {
namespace {

using namespace platform;
using nira::testing::readFile;
using nira::testing::RecordingDesktop;
using nira::testing::TempDir;
using nira::testing::TestRegistry;
using nira::testing::writeFile;

TEST(SettingsKey, NamedAfterTheExecutable) {
    const struct {
        const char* file;
        bool windows;
        const char* key;
    } table[] = {
        {"Analyser.exe", true, "SOFTWARE\\Analyser"},
        {"NIRA7.EXE", true, "SOFTWARE\\NIRA7"},
        {"a.ex", true, "SOFTWARE\\"},
        {"nira7-analyser", false, "SOFTWARE\\nira7-analyser"},
        {"nira7-analyser.bin", false, "SOFTWARE\\nira7-analyser"},
        {".hidden", false, "SOFTWARE\\.hidden"},
    };
    for (const auto& c : table) {
        EXPECT_EQ(settingsKeyPath(c.file, c.windows), c.key) << c.file;
    }
}

class SettingsTest : public ::testing::Test {
  protected:
    SettingsTest() : registry({(dir / "tty1").string(), (dir / "tty2").string()}) {}
    void SetUp() override {
        previous = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir.path().string()));
    }
    void TearDown() override { QDir::setCurrent(previous); }

    std::unique_ptr<TMainForm> start() {
        return std::make_unique<TMainForm>(platform::systemSerialApi(), registry.api());
    }
    void store(const char* name, DWORD type, const std::string& data) {
        HKEY key = nullptr;
        registry.api().RegCreateKeyExA(HKEY_LOCAL_MACHINE, runningSettingsKey().c_str(), 0,
                                       KEY_ALL_ACCESS, &key, nullptr);
        registry.api().RegSetValueExA(key, name, type, reinterpret_cast<const BYTE*>(data.data()),
                                      static_cast<DWORD>(data.size()));
        registry.api().RegCloseKey(key);
    }
    static std::string dword(std::int32_t value) {
        return std::string(reinterpret_cast<const char*>(&value), 4);
    }
    std::optional<std::int32_t> stored(const char* name) {
        HKEY key = nullptr;
        if (registry.api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, runningSettingsKey().c_str(), 0,
                                         KEY_READ, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::int32_t value = 0;
        DWORD size = 4;
        DWORD type = 0;
        const LONG status = registry.api().RegQueryValueExA(key, name, &type,
                                                            reinterpret_cast<BYTE*>(&value), &size);
        registry.api().RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::optional(value) : std::nullopt;
    }
    static int position(TMainForm& form, const char* list) {
        return form.findChild<QComboBox*>(list)->currentIndex();
    }

    TempDir dir;
    QString previous;
    TestRegistry registry;
    RecordingDesktop desktop;
};

TEST_F(SettingsTest, FirstStartCreatesTheKeyAndCloseStoresThePositions) {
    writeFile(dir / "tty1", "");
    writeFile(dir / "tty2", "");
    auto form = start();
    EXPECT_EQ(position(*form, "cbPort"), 0);
    EXPECT_EQ(position(*form, "cbBaudRate"), 5);
    {
        ScopedKey key(registry.api());
        EXPECT_EQ(registry.api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, runningSettingsKey().c_str(), 0,
                                               KEY_READ, key.put()),
                  ERROR_SUCCESS)
            << "the key exists after the first start";
    }
    form->findChild<QComboBox*>("cbPort")->setCurrentIndex(1);
    form->findChild<QComboBox*>("cbBaudRate")->setCurrentIndex(14);
    EXPECT_TRUE(form->close());
    EXPECT_EQ(stored(kPortIndexValue), 1);
    EXPECT_EQ(stored(kSpeedIndexValue), 14);

    form = start();
    EXPECT_EQ(position(*form, "cbPort"), 1);
    EXPECT_EQ(position(*form, "cbBaudRate"), 14);
    EXPECT_TRUE(desktop.messages.empty());
}

// Another port list at the next start (an adapter plugged in that sorts first) moves the
// positions: the chosen port is found by its name. The position is still written, and still
// used where the name is not in the list.
TEST_F(SettingsTest, ThePortIsFoundByItsNameInAnotherList) {
    // The fixture's list: tty1 and tty2; an adapter that sorts first comes later.
    const std::string first = (dir / "tty0").string();
    const std::string third = (dir / "tty2").string();
    writeFile(dir / "tty1", "");
    writeFile(third, "");
    auto form = start();
    auto* ports = form->findChild<QComboBox*>("cbPort");
    ASSERT_EQ(ports->count(), 2);
    ports->setCurrentIndex(ports->findText(QString::fromStdString(third)));
    EXPECT_TRUE(form->close());
    EXPECT_EQ(stored(kPortIndexValue), 1);

    registry.add(first);
    writeFile(first, "");
    form = start();
    ports = form->findChild<QComboBox*>("cbPort");
    ASSERT_EQ(ports->count(), 3);
    EXPECT_EQ(ports->currentText().toStdString(), third) << "chosen by position, not by name";

    form->close();

    // A name not in the list: the position, as before.
    store(kPortIndexValue, REG_DWORD, dword(1));
    store(kPortNameValue, REG_SZ, std::string("/dev/nowhere", sizeof "/dev/nowhere"));
    form = start();
    EXPECT_EQ(position(*form, "cbPort"), 1);
    EXPECT_TRUE(desktop.messages.empty());
}

// The registry as a standard user on Windows has it: the machine's settings key may be read but
// neither made nor written (ERROR_ACCESS_DENIED); the user's key is kept below the test's own
// machine key, under "HKCU\\…", so the test sees where it went. `userRefused` refuses that too.
class MachineKeyRefused : public platform::RegistryApi {
  public:
    MachineKeyRefused(platform::RegistryApi& real, bool userRefused, bool machineRefused = true)
        : real_(real), userRefused_(userRefused), machineRefused_(machineRefused) {}
    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access,
                       HKEY* result) override {
        if (root == HKEY_CURRENT_USER) {
            return real_.RegOpenKeyExA(HKEY_LOCAL_MACHINE, user(subKey).c_str(), options, access,
                                       result);
        }
        if (machineRefused_ && settings(subKey) && access != KEY_READ) {
            return ERROR_ACCESS_DENIED;
        }
        return real_.RegOpenKeyExA(root, subKey, options, access, result);
    }
    LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result,
                         DWORD* disposition) override {
        if (root == HKEY_CURRENT_USER && !userRefused_) {
            return real_.RegCreateKeyExA(HKEY_LOCAL_MACHINE, user(subKey).c_str(), options, access,
                                         result, disposition);
        }
        if (root == HKEY_CURRENT_USER || (machineRefused_ && settings(subKey))) {
            return ERROR_ACCESS_DENIED;
        }
        return real_.RegCreateKeyExA(root, subKey, options, access, result, disposition);
    }
    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                       DWORD* dataSize) override {
        return real_.RegEnumValueA(key, index, name, nameSize, type, data, dataSize);
    }
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data,
                          DWORD* dataSize) override {
        return real_.RegQueryValueExA(key, name, type, data, dataSize);
    }
    LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data,
                        DWORD size) override {
        return real_.RegSetValueExA(key, name, type, data, size);
    }
    LONG RegDeleteValueA(HKEY key, const char* name) override {
        return real_.RegDeleteValueA(key, name);
    }
    LONG RegCloseKey(HKEY key) override { return real_.RegCloseKey(key); }

    static std::string user(const char* subKey) { return std::string("HKCU\\") + subKey; }

  private:
    static bool settings(const char* subKey) {
        return subKey != nullptr && std::string(subKey) == runningSettingsKey();
    }
    platform::RegistryApi& real_;
    bool userRefused_;
    bool machineRefused_;
};

TEST_F(SettingsTest, AMachineKeyItMayNotWriteLeavesTheSettingsWithTheUser) {
    writeFile(dir / "tty1", "");
    writeFile(dir / "tty2", "");
    // Values an administrator or an older copy left in the machine's key are read.
    store(kSpeedIndexValue, REG_DWORD, dword(3));
    MachineKeyRefused standardUser(registry.api(), false);
    auto form = std::make_unique<TMainForm>(platform::systemSerialApi(), standardUser);
    EXPECT_EQ(position(*form, "cbBaudRate"), 3);
    form->findChild<QComboBox*>("cbPort")->setCurrentIndex(1);
    form->findChild<QComboBox*>("cbBaudRate")->setCurrentIndex(14);
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(desktop.messages.empty()) << ::testing::PrintToString(desktop.messages);
    EXPECT_EQ(stored(kSpeedIndexValue), 3) << "the machine's key was written";
    {
        ScopedKey key(registry.api());
        ASSERT_EQ(
            registry.api().RegOpenKeyExA(
                HKEY_LOCAL_MACHINE, MachineKeyRefused::user(runningSettingsKey().c_str()).c_str(),
                0, KEY_READ, key.put()),
            ERROR_SUCCESS)
            << "nothing in the user's key";
    }
    form = std::make_unique<TMainForm>(platform::systemSerialApi(), standardUser);
    EXPECT_EQ(position(*form, "cbPort"), 1);
    EXPECT_EQ(position(*form, "cbBaudRate"), 14) << "the user's value comes first";
    form->close();

    // An administrator's run writes the machine's key, and what the user's key kept goes, so it
    // hides nothing later.
    MachineKeyRefused administrator(registry.api(), false, false);
    form = std::make_unique<TMainForm>(platform::systemSerialApi(), administrator);
    form->findChild<QComboBox*>("cbBaudRate")->setCurrentIndex(7);
    form->close();
    EXPECT_EQ(stored(kSpeedIndexValue), 7);
    form = std::make_unique<TMainForm>(platform::systemSerialApi(), standardUser);
    EXPECT_EQ(position(*form, "cbBaudRate"), 7);
    form->close();

    // Neither key writable: told, once, with the value's name; the window closes.
    MachineKeyRefused nobody(registry.api(), true);
    form = std::make_unique<TMainForm>(platform::systemSerialApi(), nobody);
    EXPECT_TRUE(form->close());
    ASSERT_EQ(desktop.messages.size(), 1U);
    EXPECT_NE(desktop.messages.front().find("Failed to set data for 'cbPort.ItemIndex'"),
              std::string::npos)
        << desktop.messages.front();
}

TEST_F(SettingsTest, OutOfRangeSelectsNothingAndIsStoredAsMinusOne) {
    writeFile(dir / "tty1", "");
    store(kPortIndexValue, REG_DWORD, dword(7));
    store(kSpeedIndexValue, REG_DWORD, dword(-1));
    auto form = start();
    EXPECT_EQ(position(*form, "cbPort"), -1);
    EXPECT_EQ(position(*form, "cbBaudRate"), -1);
    form->close();
    EXPECT_EQ(stored(kPortIndexValue), -1);
    form = start();
    EXPECT_EQ(position(*form, "cbPort"), -1) << "a stored -1 overrides the first port";
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(SettingsTest, WrongValuesStopTheRestoreWithTheirMessage) {
    writeFile(dir / "tty1", "");
    writeFile(dir / "tty2", "");
    const struct {
        const char* what;
        std::function<void()> arrange;
        const char* message;
        int port;
        int speed;
    } cases[] = {
        {"short REG_SZ speed",
         [&] {
             store(kPortIndexValue, REG_DWORD, dword(1));
             store(kSpeedIndexValue, REG_SZ, std::string("ab\0", 3));
         },
         "Invalid data type for 'cbBaudRate.ItemIndex'", 1, 5},
        {"long REG_SZ port",
         [&] {
             store(kPortIndexValue, REG_SZ, std::string("longer text\0", 12));
             store(kSpeedIndexValue, REG_DWORD, dword(2));
         },
         "Failed to get data for 'cbPort.ItemIndex'", 0, 5},
        {"REG_BINARY of four bytes", [&] { store(kPortIndexValue, REG_BINARY, dword(1)); },
         "Invalid data type for 'cbPort.ItemIndex'", 0, 5},
    };
    for (const auto& c : cases) {
        c.arrange();
        desktop.messages.clear();
        auto form = start();
        EXPECT_EQ(desktop.messages, std::vector<std::string>{c.message}) << c.what;
        EXPECT_EQ(position(*form, "cbPort"), c.port) << c.what;
        EXPECT_EQ(position(*form, "cbBaudRate"), c.speed) << c.what;
        EXPECT_TRUE(form->isEnabled());
    }
}

TEST_F(SettingsTest, TheSettingsFileIsRewrittenOnlyWhenItExists) {
    auto form = start();
    form->close();
    EXPECT_FALSE(std::filesystem::exists(dir / "dUzivi.ini")) << "never created";

    writeFile(dir / "dUzivi.ini", "anything that was here before\r\nmore");
    // Picking a port puts its position on line 1 of the settings memo, which it does not have.
    form = start();
    form->show();
    auto* ports = form->findChild<QComboBox*>("cbPort");
    QTest::keyClick(ports, Qt::Key_Down);
    form->close();
    const std::string content = readFile(dir / "dUzivi.ini");
    EXPECT_TRUE(QRegularExpression(R"(^\S+(?: \S+)?  \d{1,2}:\d{2}:\d{2}(?: \S+)?$)")
                    .match(QString::fromStdString(content))
                    .hasMatch())
        << content;
    EXPECT_EQ(content.find('\n'), std::string::npos);

    std::filesystem::remove(dir / "dUzivi.ini");
    std::filesystem::create_directory(dir / "dUzivi.ini");
    form = start();
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "dUzivi.ini"));
    EXPECT_TRUE(desktop.messages.empty());

    // A link planted in its place is not followed: what it points to stays as it was.
#ifndef _WIN32
    std::filesystem::remove(dir / "dUzivi.ini");
    writeFile(dir / "precious.txt", "keep me");
    std::filesystem::create_symlink(dir / "precious.txt", dir / "dUzivi.ini");
    form = start();
    EXPECT_TRUE(form->close());
    EXPECT_EQ(readFile(dir / "precious.txt"), "keep me");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "dUzivi.ini"));
#endif
}

// The POSIX store is a file another program can damage.
#ifndef _WIN32
TEST_F(SettingsTest, AFailedSettingsSaveIsShownButTheWindowCloses) {
    auto form = start();
    writeFile(registry.storePath(), "damaged\n");
    EXPECT_TRUE(form->close());
    EXPECT_EQ(desktop.messages,
              std::vector<std::string>{"Failed to set data for 'cbPort.ItemIndex'"});
    EXPECT_EQ(readFile(registry.storePath()), "damaged\n");
}
#endif

}  // namespace
}  // namespace nira::ui
