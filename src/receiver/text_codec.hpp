#pragma once
// The log's bytes are Windows-1251. A byte is shown as its character, a control byte (CR, LF,
// NUL …) as its control picture (␍ ␊ ␀), the unassigned 0x98 as ␦, so a line holds exactly
// what arrived, nothing shown is a control character, and the shown character maps back to the
// byte.

#include <string>
#include <string_view>

namespace nira::receiver {

// The character a byte is shown as.
char16_t shownChar(unsigned char byte);
// The byte a shown character stands for; -1 when Windows-1251 has none.
int byteOfShown(char16_t c);

// The bytes as UTF-8 text, each shown as above.
std::string shownUtf8(std::string_view bytes);
// UTF-8 text as Windows-1251 bytes; "?" for a character the code page lacks.
std::string cp1251FromUtf8(std::string_view utf8);

}  // namespace nira::receiver
