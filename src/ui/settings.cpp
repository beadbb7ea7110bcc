#include "ui/settings.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

namespace nira::ui {

// The registry's constants are the system's macros on Windows, names of this namespace elsewhere.
using namespace platform;

namespace {

// The settings key below `root`, opened (and created when missing) for reading and writing;
// null when it cannot be.
std::unique_ptr<platform::ScopedKey> openSettingsKey(platform::RegistryApi& registry,
                                                     const std::string& path,
                                                     platform::HKEY root = HKEY_LOCAL_MACHINE) {
    using namespace platform;
    auto key = std::make_unique<ScopedKey>(registry);
    if (registry.RegCreateKeyExA(root, path.c_str(), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 key->put(), nullptr) != ERROR_SUCCESS) {
        *key->put() = nullptr;
    }
    return key;
}

// The settings key below `root`, opened for reading only if it is there; null otherwise.
std::unique_ptr<platform::ScopedKey> openForReading(platform::RegistryApi& registry,
                                                    const std::string& path, platform::HKEY root) {
    using namespace platform;
    auto key = std::make_unique<ScopedKey>(registry);
    if (registry.RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key->put()) != ERROR_SUCCESS) {
        *key->put() = nullptr;
    }
    return key;
}

bool hasValue(platform::RegistryApi& registry, platform::HKEY key, const char* name) {
    platform::DWORD type = 0;
    platform::DWORD size = 0;
    return key != nullptr &&
           registry.RegQueryValueExA(key, name, &type, nullptr, &size) == ERROR_SUCCESS;
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
    // The user's key first (written where the machine's was refused), each value it lacks from
    // the machine's (an administrator's, an older copy's).
    auto machine = openSettingsKey(registry, keyPath);
    if (machine->get() == nullptr) {
        machine = openForReading(registry, keyPath, HKEY_LOCAL_MACHINE);
    }
    const auto user = openForReading(registry, keyPath, HKEY_CURRENT_USER);
    const auto from = [&](const char* name) {
        return hasValue(registry, user->get(), name) ? user->get() : machine->get();
    };
    restoreOne(registry, from(kPortIndexValue), kPortIndexValue, setPortIndex);
    restoreOne(registry, from(kSpeedIndexValue), kSpeedIndexValue, setSpeedIndex);
    if (setPortName) {
        if (const platform::HKEY key = from(kPortNameValue); key != nullptr) {
            if (const auto name = readText(registry, key, kPortNameValue)) {
                setPortName(*name);
            }
        }
    }
}

namespace {
// Writes the three values under `root`; throws ERegistryException naming the first refused.
void saveUnder(platform::RegistryApi& registry, platform::HKEY root, const std::string& keyPath,
               int portIndex, int speedIndex, const std::string& portName) {
    using namespace platform;  // on Windows the constants are the system's macros
    const auto key = openSettingsKey(registry, keyPath, root);
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
}  // namespace

void saveSettings(platform::RegistryApi& registry, const std::string& keyPath, int portIndex,
                  int speedIndex, const std::string& portName) {
    using namespace platform;
    // The machine's key as before (stored files and other copies read it there); a standard
    // user on Windows may not write it, and then the user's key takes the settings. The
    // operator hears of it only when neither can be written.
    try {
        saveUnder(registry, HKEY_LOCAL_MACHINE, keyPath, portIndex, speedIndex, portName);
    } catch (const ERegistryException&) {
        saveUnder(registry, HKEY_CURRENT_USER, keyPath, portIndex, speedIndex, portName);
        return;
    }
    // Written where it is read last: what the user's key kept from a refused time goes, so it
    // does not hide these.
    const auto user = openForReading(registry, keyPath, HKEY_CURRENT_USER);
    if (user->get() != nullptr) {
        ScopedKey writable(registry);
        if (registry.RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_ALL_ACCESS,
                                   writable.put()) == ERROR_SUCCESS) {
            for (const char* name : {kPortIndexValue, kSpeedIndexValue, kPortNameValue}) {
                registry.RegDeleteValueA(writable.get(), name);
            }
        }
    }
}

// The user's key first. Where the system has no user's key (the POSIX store, a file of the
// user's own), the one key there is.
std::string restoreTransmitterList(platform::RegistryApi& registry, const std::string& keyPath) {
    for (const platform::HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        const auto key = openForReading(registry, keyPath, root);
        if (key->get() != nullptr) {
            if (auto path = readText(registry, key->get(), kTransmitterListValue)) {
                return *path;
            }
        }
    }
    return {};
}

void saveTransmitterList(platform::RegistryApi& registry, const std::string& keyPath,
                         const std::string& path) {
    for (const platform::HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        const auto key = openSettingsKey(registry, keyPath, root);
        if (key->get() != nullptr &&
            registry.RegSetValueExA(key->get(), kTransmitterListValue, REG_SZ,
                                    reinterpret_cast<const BYTE*>(path.c_str()),
                                    static_cast<DWORD>(path.size() + 1)) == ERROR_SUCCESS) {
            return;
        }
    }
    throw ERegistryException(named("Failed to set data for '%s'", kTransmitterListValue));
}

}  // namespace nira::ui
