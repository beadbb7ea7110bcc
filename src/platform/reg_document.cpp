#include "platform/reg_document.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace nira::platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::uint32_t kSz = 1;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool plainText(const std::vector<std::uint8_t>& data) {
    if (data.empty() || data.back() != 0) {
        return false;
    }
    return std::all_of(data.begin(), data.end() - 1,
                       [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
}

void appendHex(std::string& out, const std::vector<std::uint8_t>& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
}

// Reads a quoted text at the start of `rest`, consuming it.
std::optional<std::string> takeQuoted(std::string_view& rest) {
    if (rest.empty() || rest.front() != '"') {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '\\') {
            if (i + 1 >= rest.size()) {
                return std::nullopt;
            }
            text += rest[++i];
        } else if (c == '"') {
            rest.remove_prefix(i + 1);
            return text;
        } else {
            text += c;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> parseHexNumber(std::string_view digits, std::size_t maxDigits) {
    if (digits.empty() || digits.size() > maxDigits) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view list) {
    std::vector<std::uint8_t> bytes;
    if (list.empty()) {
        return bytes;
    }
    while (true) {
        const std::size_t comma = list.find(',');
        const auto byte = parseHexNumber(list.substr(0, comma), 2);
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*byte));
        if (comma == std::string_view::npos) {
            return bytes;
        }
        list.remove_prefix(comma + 1);
    }
}

std::optional<RegValue> parseValue(std::string_view line) {
    RegValue value;
    if (line.starts_with("@=")) {
        line.remove_prefix(1);
    } else {
        auto name = takeQuoted(line);
        if (!name) {
            return std::nullopt;
        }
        value.name = std::move(*name);
    }
    if (line.empty() || line.front() != '=') {
        return std::nullopt;
    }
    line.remove_prefix(1);
    if (line.starts_with('"')) {
        auto text = takeQuoted(line);
        if (!text || !line.empty()) {
            return std::nullopt;
        }
        value.type = kSz;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return value;
    }
    if (line.starts_with("dword:")) {
        const auto number = parseHexNumber(line.substr(6), 8);
        if (!number) {
            return std::nullopt;
        }
        value.type = kDword;
        for (int shift = 0; shift < 32; shift += 8) {
            value.data.push_back(static_cast<std::uint8_t>(*number >> shift));
        }
        return value;
    }
    std::optional<std::vector<std::uint8_t>> bytes;
    if (line.starts_with("hex:")) {
        value.type = kBinary;
        bytes = parseHexBytes(line.substr(4));
    } else if (line.starts_with("hex(")) {
        const std::size_t close = line.find("):");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const auto type = parseHexNumber(line.substr(4, close - 4), 8);
        if (!type) {
            return std::nullopt;
        }
        value.type = *type;
        bytes = parseHexBytes(line.substr(close + 2));
    }
    if (!bytes) {
        return std::nullopt;
    }
    value.data = std::move(*bytes);
    return value;
}

}  // namespace

bool sameRegistryName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string normaliseKeyPath(std::string_view path) {
    std::string out;
    while (!path.empty()) {
        const std::size_t slash = path.find('\\');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty()) {
            if (!out.empty()) {
                out += '\\';
            }
            out += part;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return out;
}

RegValue* RegKeyEntry::find(std::string_view name) {
    for (auto& value : values) {
        if (sameRegistryName(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

const RegValue* RegKeyEntry::find(std::string_view name) const {
    return const_cast<RegKeyEntry*>(this)->find(name);
}

RegKeyEntry* RegDocument::find(std::string_view path) {
    const std::string wanted = normaliseKeyPath(path);
    for (auto& key : keys) {
        if (sameRegistryName(key.path, wanted)) {
            return &key;
        }
    }
    return nullptr;
}

const RegKeyEntry* RegDocument::find(std::string_view path) const {
    return const_cast<RegDocument*>(this)->find(path);
}

RegKeyEntry& RegDocument::ensure(std::string_view path) {
    // The keys above it come into being as well, as with the registry.
    const std::string full = normaliseKeyPath(path);
    RegKeyEntry* key = nullptr;
    std::size_t end = 0;
    do {
        end = full.find('\\', end + 1);
        const std::string prefix = full.substr(0, end);
        key = find(prefix);
        if (key == nullptr) {
            keys.push_back(RegKeyEntry{prefix, {}});
            key = &keys.back();
        }
    } while (end != std::string::npos);
    return *key;
}

std::string formatRegDocument(const RegDocument& document) {
    std::string out(kHeader);
    out += "\n";
    for (const auto& key : document.keys) {
        out += "\n[";
        out += kRoot;
        if (!key.path.empty()) {
            out += '\\';
            out += key.path;
        }
        out += "]\n";
        for (const auto& value : key.values) {
            if (value.name.empty()) {
                out += '@';
            } else {
                appendQuoted(out, value.name);
            }
            out += '=';
            if (value.type == kDword && value.data.size() == 4) {
                std::uint32_t number = 0;
                for (int i = 3; i >= 0; --i) {
                    number = (number << 8) | value.data[static_cast<std::size_t>(i)];
                }
                char digits[9];
                std::to_chars_result r = std::to_chars(digits, digits + 8, number, 16);
                out += "dword:";
                out.append(static_cast<std::size_t>(8 - (r.ptr - digits)), '0');
                out.append(digits, r.ptr);
            } else if (value.type == kSz && plainText(value.data)) {
                appendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                                   value.data.size() - 1));
            } else if (value.type == kBinary) {
                out += "hex:";
                appendHex(out, value.data);
            } else {
                char type[9];
                std::to_chars_result r = std::to_chars(type, type + 8, value.type, 16);
                out += "hex(";
                out.append(type, r.ptr);
                out += "):";
                appendHex(out, value.data);
            }
            out += '\n';
        }
    }
    return out;
}

std::optional<RegDocument> parseRegDocument(std::string_view text, std::string* error) {
    RegDocument document;
    RegKeyEntry* current = nullptr;
    bool headerSeen = false;
    int lineNumber = 0;
    auto fail = [&](const char* why) -> std::optional<RegDocument> {
        if (error != nullptr) {
            *error = "line " + std::to_string(lineNumber) + ": " + why;
        }
        return std::nullopt;
    };
    if (text.empty()) {
        return document;  // nothing lost by writing over it
    }
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!headerSeen) {
            if (line != kHeader) {
                return fail("not a registry export (the header line is missing)");
            }
            headerSeen = true;
            continue;
        }
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                return fail("a key line must end in ']'");
            }
            std::string_view path = line.substr(1, line.size() - 2);
            if (!path.starts_with(kRoot) ||
                (path.size() > kRoot.size() && path[kRoot.size()] != '\\')) {
                return fail("only keys below HKEY_LOCAL_MACHINE are kept here");
            }
            path.remove_prefix(kRoot.size());
            if (document.find(path) != nullptr) {
                return fail("the key appears twice");
            }
            document.keys.push_back(RegKeyEntry{normaliseKeyPath(path), {}});
            current = &document.keys.back();
            continue;
        }
        if (current == nullptr) {
            return fail("a value comes before any key");
        }
        auto value = parseValue(line);
        if (!value) {
            return fail("not a value line of a known form");
        }
        if (current->find(value->name) != nullptr) {
            return fail("the value appears twice in its key");
        }
        current->values.push_back(std::move(*value));
    }
    return document;
}

}  // namespace nira::platform
