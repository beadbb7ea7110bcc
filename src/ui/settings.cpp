#include "ui/settings.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

namespace nira::ui {

namespace {

// The settings key, opened (and created when missing) for reading and writing; null when it
// cannot be.
std::unique_ptr<platform::ScopedKey> openSettingsKey(platform::RegistryApi& registry,
                                                     const std::string& path) {
    using namespace platform;
    auto key = std::make_unique<ScopedKey>(registry);
    if (registry.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, key->put(), nullptr) != ERROR_SUCCESS) {
        *key->put() = nullptr;
    }
    return key;
}

std::string named(const char* pattern, const char* value) {
    std::string text = pattern;
    text.replace(text.find("%s"), 2, value);
    return text;
}

void restoreOne(platform::RegistryApi& registry, platform::HKEY key, const char* name,
                const std::function<void(int)>& apply) {
    using namespace platform;
    if (key == nullptr) {
        return;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (registry.RegQueryValueExA(key, name, &type, nullptr, &size) != ERROR_SUCCESS) {
        return;  // no such value: the default stays
    }
    std::array<BYTE, 4> data{};
    size = data.size();
    if (registry.RegQueryValueExA(key, name, &type, data.data(), &size) != ERROR_SUCCESS) {
        throw ERegistryException(named("Failed to get data for '%s'", name));
    }
    if (type != REG_DWORD) {
        throw ERegistryException(named("Invalid data type for '%s'", name));
    }
    std::int32_t value = 0;
    std::memcpy(&value, data.data(), sizeof value);
    apply(value);
}

void saveOne(platform::RegistryApi& registry, platform::HKEY key, const char* name, int value) {
    using namespace platform;
    const auto number = static_cast<std::int32_t>(value);
    if (key == nullptr ||
        registry.RegSetValueExA(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                sizeof number) != ERROR_SUCCESS) {
        throw ERegistryException(named("Failed to set data for '%s'", name));
    }
}

// A REG_SZ value, if there is one of that type.
std::optional<std::string> readText(platform::RegistryApi& registry, platform::HKEY key,
                                    const char* name) {
    using namespace platform;
    DWORD type = 0;
    DWORD size = 0;
    if (registry.RegQueryValueExA(key, name, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size > 4096) {
        return std::nullopt;
    }
    std::string text(size, '\0');
    if (registry.RegQueryValueExA(key, name, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    text.resize(std::min<std::size_t>(size, text.size()));
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string settingsKeyPath(const std::string& executableFileName, bool windowsNames) {
    std::string name = executableFileName;
    if (windowsNames) {
        name = name.size() > 4 ? name.substr(0, name.size() - 4) : std::string();
    } else if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return "SOFTWARE\\" + name;
}

void restoreSettings(platform::RegistryApi& registry, const std::string& keyPath,
                     const std::function<void(int)>& setPortIndex,
                     const std::function<void(int)>& setSpeedIndex,
                     const std::function<void(const std::string&)>& setPortName) {
    const auto key = openSettingsKey(registry, keyPath);
    restoreOne(registry, key->get(), kPortIndexValue, setPortIndex);
    restoreOne(registry, key->get(), kSpeedIndexValue, setSpeedIndex);
    if (setPortName && key->get() != nullptr) {
        if (const auto name = readText(registry, key->get(), kPortNameValue)) {
            setPortName(*name);
        }
    }
}

void saveSettings(platform::RegistryApi& registry, const std::string& keyPath, int portIndex,
                  int speedIndex, const std::string& portName) {
    using namespace platform;  // on Windows the constants are the system's macros
    const auto key = openSettingsKey(registry, keyPath);
    saveOne(registry, key->get(), kPortIndexValue, portIndex);
    saveOne(registry, key->get(), kSpeedIndexValue, speedIndex);
    // With its terminating NUL, as the registry keeps a REG_SZ.
    if (key->get() == nullptr ||
        registry.RegSetValueExA(key->get(), kPortNameValue, REG_SZ,
                                reinterpret_cast<const BYTE*>(portName.c_str()),
                                static_cast<DWORD>(portName.size() + 1)) != ERROR_SUCCESS) {
        throw ERegistryException(named("Failed to set data for '%s'", kPortNameValue));
    }
}

}  // namespace nira::ui
