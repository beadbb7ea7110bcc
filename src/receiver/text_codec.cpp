#include "receiver/text_codec.hpp"

#include <array>

namespace nira::receiver {

namespace {

// 0x80 to 0xFF; 0x98, which the code page leaves unassigned, is shown as a picture: as itself
// (U+0098, a C1 control) a terminal may act on it.
constexpr std::array<char16_t, 128> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x2426, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

constexpr char16_t kControlPictures = 0x2400;  // ␀ for 0x00 up to ␟ for 0x1F
constexpr char16_t kDeletePicture = 0x2421;    // ␡ for 0x7F
constexpr char32_t kReplacement = 0xFFFD;
constexpr char16_t kUnassigned = 0x0098;  // how others write 0x98

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The next code point of `text` from `i`, which moves past it; a broken sequence is one
// replacement character per byte.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        return lead;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) > text.size()) {
        return kReplacement;
    }
    char32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
        ++i;
    }
    return c;
}

}  // namespace

char16_t shownChar(unsigned char b) {
    if (b < 0x20) {
        return static_cast<char16_t>(kControlPictures + b);
    }
    if (b == 0x7F) {
        return kDeletePicture;
    }
    if (b < 0x80) {
        return b;
    }
    return kHighHalf[b - 0x80];
}

int byteOfShown(char16_t c) {
    if (c >= 0x20 && c < 0x7F) {
        return c;
    }
    if (c >= kControlPictures && c < kControlPictures + 0x20) {
        return c - kControlPictures;
    }
    if (c == kDeletePicture) {
        return 0x7F;
    }
    if (c == kUnassigned) {
        return 0x98;
    }
    for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
        if (kHighHalf[i] == c) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

std::string shownUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char b : bytes) {
        appendUtf8(out, shownChar(static_cast<unsigned char>(b)));
    }
    return out;
}

std::string cp1251FromUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t c = nextCodePoint(utf8, i);
        const int b = c < 0x10000 ? byteOfShown(static_cast<char16_t>(c)) : -1;
        out.push_back(b >= 0 ? static_cast<char>(b) : '?');
    }
    return out;
}

}  // namespace nira::receiver
