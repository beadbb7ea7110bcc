#pragma once
// The two list positions kept in the registry, and the key they live under. No Qt: the same code
// runs against the Windows registry in the cross-compiled tests.

#include <functional>
#include <stdexcept>
#include <string>

#include "platform/registry.hpp"

namespace nira::ui {

// "Invalid data type for '%s'", "Failed to get data for '%s'", "Failed to set data for '%s'".
class ERegistryException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kPortIndexValue = "cbPort.ItemIndex";
inline constexpr const char* kSpeedIndexValue = "cbBaudRate.ItemIndex";
// The chosen port's name beside its position: another port list at the next start (an adapter
// more or fewer) moves the positions.
inline constexpr const char* kPortNameValue = "cbPort.Text";

// "SOFTWARE\" and the executable's file name less its last four characters (Windows, where
// they are ".exe"); on POSIX systems, where programs carry no extension, less its extension
// if it has one.
std::string settingsKeyPath(const std::string& executableFileName, bool windowsNames);

// Reads each value that exists and hands it on; stops at the first position that is not a
// 4-byte REG_DWORD by throwing ERegistryException. The port's name comes last, when it is there
// as a REG_SZ (files an older copy wrote have none). A key that cannot be opened restores
// nothing.
void restoreSettings(platform::RegistryApi& registry, const std::string& keyPath,
                     const std::function<void(int)>& setPortIndex,
                     const std::function<void(int)>& setSpeedIndex,
                     const std::function<void(const std::string&)>& setPortName = {});
// Writes both positions and the port's name; throws ERegistryException naming the value that
// could not be written.
void saveSettings(platform::RegistryApi& registry, const std::string& keyPath, int portIndex,
                  int speedIndex, const std::string& portName = {});

// The transmitter list last used, reopened at start: the user's own (REG_SZ, UTF-8), under the
// user's key whoever installed the program (the machine's where the system has none).
inline constexpr const char* kTransmitterListValue = "Transmitters.List";
std::string restoreTransmitterList(platform::RegistryApi& registry, const std::string& keyPath);
// Throws ERegistryException when it cannot be written.
void saveTransmitterList(platform::RegistryApi& registry, const std::string& keyPath,
                         const std::string& path);

}  // namespace nira::ui
