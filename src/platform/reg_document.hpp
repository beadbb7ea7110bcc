#pragma once
// The registry store's contents and their text form, the registry editor's export format:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\nira7-analyser]
//   "cbPort.ItemIndex"=dword:00000002
//   "Note"="text"
//   "Blob"=hex:01,02,ff
//
// Strings that are not plain printable ASCII with one terminating zero are kept as hex(1), so
// every byte survives.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nira::platform {

struct RegValue {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct RegKeyEntry {
    std::string path;  // below HKEY_LOCAL_MACHINE, without a leading backslash
    std::vector<RegValue> values;

    RegValue* find(std::string_view name);
    const RegValue* find(std::string_view name) const;
};

struct RegDocument {
    std::vector<RegKeyEntry> keys;

    // Paths compare without regard to ASCII letter case, as the registry's do.
    RegKeyEntry* find(std::string_view path);
    const RegKeyEntry* find(std::string_view path) const;
    RegKeyEntry& ensure(std::string_view path);
};

// Drops a leading backslash and empty path components: "\SOFTWARE\\x\" is "SOFTWARE\x".
std::string normaliseKeyPath(std::string_view path);
bool sameRegistryName(std::string_view a, std::string_view b);

std::string formatRegDocument(const RegDocument& document);
// Nothing on any malformed line; `error` then says which line and why.
std::optional<RegDocument> parseRegDocument(std::string_view text, std::string* error = nullptr);

}  // namespace nira::platform
