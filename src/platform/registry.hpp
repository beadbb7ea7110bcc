#pragma once
// The registry calls the port list and the settings make, with the meaning of the Windows
// registry API. On Windows they pass straight through; on POSIX systems a per-user store file
// holds the keys, and the serial port key is made from the system's serial devices.

#include <string>

#include "platform/win_types.hpp"

#ifndef _WIN32
namespace nira::platform {

using LONG = std::int32_t;
using REGSAM = DWORD;
struct RegistryKey;
using HKEY = RegistryKey*;

inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr LONG ERROR_LOCK_VIOLATION = 33;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_CANTWRITE = 1013;

}  // namespace nira::platform
#else
namespace nira::platform {
using ::HKEY;
using ::LONG;
using ::REGSAM;
}  // namespace nira::platform
#endif

namespace nira::platform {

class RegistryApi {
  public:
    virtual ~RegistryApi() = default;

    virtual LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access,
                               HKEY* result) = 0;
    // Opens the key, creating it (and the keys above it) when missing.
    virtual LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access,
                                 HKEY* result, DWORD* disposition) = 0;
    // Sizes in and out as on Windows: `nameSize` in characters with room for the zero on the way
    // in and without it on the way out; `dataSize` in bytes. ERROR_MORE_DATA when either does not
    // fit, ERROR_NO_MORE_ITEMS past the last value.
    virtual LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type,
                               BYTE* data, DWORD* dataSize) = 0;
    // Without a buffer (`data` null) only the type and the size are given back.
    virtual LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data,
                                  DWORD* dataSize) = 0;
    virtual LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data,
                                DWORD size) = 0;
    virtual LONG RegDeleteValueA(HKEY key, const char* name) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
};

// The backend of the system the program runs on.
RegistryApi& systemRegistry();

// An open key, closed on every way out of the scope that opened it.
class ScopedKey {
  public:
    explicit ScopedKey(RegistryApi& registry) : registry_(registry) {}
    ~ScopedKey() {
        if (key_ != nullptr) {
            registry_.RegCloseKey(key_);
        }
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    // Where an open call puts the key; a failed open leaves it null.
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

  private:
    RegistryApi& registry_;
    HKEY key_ = nullptr;
};

// The key that lists the serial ports, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

#ifndef _WIN32
// Where the POSIX store lives: $NIRA7_REGISTRY when set, else nira7/registry.reg under
// $XDG_CONFIG_HOME, else under ~/.config.
std::string registryStorePath();
#endif

}  // namespace nira::platform
