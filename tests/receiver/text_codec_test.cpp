#include "receiver/text_codec.hpp"

#include <gtest/gtest.h>

#include <string>

namespace nira::receiver {
namespace {

// What a terminal or a text widget may act on instead of showing: C0, DEL and C1.
bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

TEST(TextCodec, EveryByteIsShownAsSomethingVisibleThatMapsBackToIt) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        const char16_t shown = shownChar(static_cast<unsigned char>(b));
        EXPECT_FALSE(isControl(shown)) << "byte " << b << " is shown as a control character";
        EXPECT_EQ(byteOfShown(shown), b) << "byte " << b;
        all.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(cp1251FromUtf8(shownUtf8(all)), all);
}

TEST(TextCodec, TextFromElsewhereBecomesBytesOrAQuestionMark) {
    // U+0098 is how other programs write the code page's unassigned byte.
    EXPECT_EQ(cp1251FromUtf8("\xc2\x98"), "\x98");
    EXPECT_EQ(cp1251FromUtf8("\xd0\x90\xe2\x84\x96 \xe2\x82\xac"), "\xc0\xb9 \x88");  // А№ €
    EXPECT_EQ(cp1251FromUtf8("\xe4\xb8\xad\xf0\x9f\x98\x80"), "??");  // a CJK and an emoji
    EXPECT_EQ(cp1251FromUtf8("a\xff"
                             "b"),
              "a?b");  // broken UTF-8
}

}  // namespace
}  // namespace nira::receiver
