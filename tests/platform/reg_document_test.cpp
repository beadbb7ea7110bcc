// The store's text form: every type and every byte comes back as it went in, and anything the
// parser does not understand is refused as a whole rather than half read.
#include <gtest/gtest.h>

#include "platform/reg_document.hpp"

namespace nira::platform {
namespace {

std::vector<std::uint8_t> bytes(std::string_view text, bool zero = true) {
    std::vector<std::uint8_t> out(text.begin(), text.end());
    if (zero) {
        out.push_back(0);
    }
    return out;
}

TEST(RegDocument, EveryTypeAndByteRoundTrips) {
    std::vector<std::uint8_t> everyByte;
    for (int b = 0; b < 256; ++b) {
        everyByte.push_back(static_cast<std::uint8_t>(b));
    }
    RegDocument document;
    auto& key = document.ensure("\\SOFTWARE\\nira7-analyser");
    key.values = {
        {"cbPort.ItemIndex", 4, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"cbBaudRate.ItemIndex", 4, {5, 0, 0, 0}},
        {"Plain", 1, bytes("COM1 \"quoted\" back\\slash")},
        {"Cyrillic", 1, bytes("\xCF\xEE\xF0\xF2")},
        {"No zero", 1, bytes("abc", false)},
        {"Blob", 3, everyByte},
        {"Empty blob", 3, {}},
        {"Short dword", 4, {1, 2}},
        {"", 1, bytes("default")},
    };
    const std::string text = formatRegDocument(document);
    EXPECT_NE(text.find("\"cbPort.ItemIndex\"=dword:ffffffff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Plain\"=\"COM1 \\\"quoted\\\" back\\\\slash\"\n"), std::string::npos);

    std::string error;
    const auto parsed = parseRegDocument(text, &error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->keys.size(), 2U);  // SOFTWARE came into being above it
    const RegKeyEntry* back = parsed->find("software\\NIRA7-ANALYSER");
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->values.size(), key.values.size());
    for (std::size_t i = 0; i < key.values.size(); ++i) {
        SCOPED_TRACE(key.values[i].name);
        EXPECT_EQ(back->values[i].name, key.values[i].name);
        EXPECT_EQ(back->values[i].type, key.values[i].type);
        EXPECT_EQ(back->values[i].data, key.values[i].data);
    }
}

TEST(RegDocument, ReadsHandWrittenExports) {
    const auto parsed = parseRegDocument(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\x]\r\n\"A\"=dword:7\r\n@=\"d\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\y]\r\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->find("SOFTWARE\\x")->values.at(0).data,
              (std::vector<std::uint8_t>{7, 0, 0, 0}));
    EXPECT_EQ(parsed->find("SOFTWARE\\x")->values.at(1).name, "");
    EXPECT_NE(parsed->find("SOFTWARE\\y"), nullptr);
    EXPECT_TRUE(parseRegDocument("")) << "an empty file holds nothing to lose";
}

TEST(RegDocument, RefusesDamagedText) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\x]\n";
    const struct {
        const char* what;
        std::string text;
        const char* line;
    } cases[] = {
        {"no header", key, "line 1"},
        {"binary garbage", std::string("\x00\x01\xFF garbage", 12), "line 1"},
        {"value before a key", header + "\"A\"=dword:1\n", "line 2"},
        {"other root", header + "[HKEY_CURRENT_USER\\x]\n", "line 2"},
        {"unclosed key", header + "[HKEY_LOCAL_MACHINE\\x\n", "line 2"},
        {"unknown form", header + key + "\"A\"=qword:1\n", "line 3"},
        {"dword too long", header + key + "\"A\"=dword:123456789\n", "line 3"},
        {"bad hex byte", header + key + "\"A\"=hex:01,zz\n", "line 3"},
        {"three-digit byte", header + key + "\"A\"=hex:001\n", "line 3"},
        {"unterminated text", header + key + "\"A\"=\"abc\n", "line 3"},
        {"text and more", header + key + "\"A\"=\"abc\"x\n", "line 3"},
        {"value twice", header + key + "\"A\"=dword:1\n\"a\"=dword:2\n", "line 4"},
        {"key twice", header + key + key, "line 3"},
        {"cut off", header + key + "\"A\"=hex(", "line 3"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseRegDocument(c.text, &error)) << c.what;
        EXPECT_EQ(error.rfind(c.line, 0), 0U) << c.what << ": " << error;
    }
}

TEST(RegDocument, KeyPathsAreNormalised) {
    EXPECT_EQ(normaliseKeyPath("\\SOFTWARE\\\\nira7\\"), "SOFTWARE\\nira7");
    EXPECT_EQ(normaliseKeyPath("\\"), "");
    RegDocument document;
    document.ensure("A\\B");
    document.ensure("a\\b\\C");
    EXPECT_EQ(document.keys.size(), 3U);
}

}  // namespace
}  // namespace nira::platform
