// The registry on Windows: straight through to the system.
#include "platform/registry.hpp"

#include "platform/port_names.hpp"

namespace nira::platform {

namespace {

class Win32Registry final : public RegistryApi {
  public:
    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access,
                       HKEY* result) override {
        return ::RegOpenKeyExA(root, subKey, options, access, result);
    }
    LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result,
                         DWORD* disposition) override {
        return ::RegCreateKeyExA(root, subKey, 0, nullptr, options, access, nullptr, result,
                                 disposition);
    }
    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                       DWORD* dataSize) override {
        return ::RegEnumValueA(key, index, name, nameSize, nullptr, type, data, dataSize);
    }
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data,
                          DWORD* dataSize) override {
        return ::RegQueryValueExA(key, name, nullptr, type, data, dataSize);
    }
    LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data,
                        DWORD size) override {
        return ::RegSetValueExA(key, name, 0, type, data, size);
    }
    LONG RegDeleteValueA(HKEY key, const char* name) override {
        return ::RegDeleteValueA(key, name);
    }
    LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }
};

}  // namespace

RegistryApi& systemRegistry() {
    static Win32Registry registry;
    return registry;
}

std::string stablePortName(const std::string& /*port*/, const std::string& /*byIdDir*/) {
    return {};  // COM names are what Windows users know their ports by
}

PortIdentity identifyPort(const std::string& /*port*/, const std::string& /*byIdDir*/) {
    // Windows keeps a COM number for each adapter it has seen; the name is the identity.
    return {};
}

}  // namespace nira::platform
