#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <utility>

#include "serial/com_port.hpp"

namespace nira::serial {

namespace {

std::string foldCase(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& list, platform::RegistryApi& registry) {
    using namespace platform;
    ScopedKey key(registry);
    if (registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        throw EComPort(cmRegistryFailed);
    }
    std::vector<std::pair<std::string, std::string>> found;  // folded for sorting, as given
    for (DWORD index = 0;; ++index) {
        std::array<char, 256> name{};
        std::array<BYTE, 256> data{};
        DWORD nameSize = name.size();
        DWORD dataSize = data.size();
        const LONG status = registry.RegEnumValueA(key.get(), index, name.data(), &nameSize,
                                                   nullptr, data.data(), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            throw EComPort(cmRegistryFailed);
        }
        const auto* text = reinterpret_cast<const char*>(data.data());
        std::string port(text, ::strnlen(text, std::min<std::size_t>(dataSize, data.size())));
        found.emplace_back(foldCase(port), std::move(port));
    }
    // A text sort by the user's collation, letter case aside: COM10 between COM1 and COM2.
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::strcoll(a.first.c_str(), b.first.c_str()) < 0;
    });
    std::vector<std::string> sorted;
    sorted.reserve(found.size());
    for (auto& entry : found) {
        sorted.push_back(std::move(entry.second));
    }
    list = std::move(sorted);
}

}  // namespace nira::serial
