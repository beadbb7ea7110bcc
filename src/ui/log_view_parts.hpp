#pragma once
// What the log view's source files share (not for users of the view).

#include <QChar>
#include <QString>
#include <cstddef>
#include <string>
#include <vector>

#include "receiver/text_codec.hpp"

class QKeyEvent;

namespace nira::ui::log_view_parts {

inline constexpr int kMargin = 4;
inline constexpr std::size_t kNone = ~std::size_t{0};
// A whole new text past this many characters is told to assistive tools without its text.
inline constexpr std::size_t kMaxToldCharacters = std::size_t{1} << 20;

// An offset as assistive tools take it (an int).
inline int accessibleOffset(std::size_t offset) {
    return offset > 0x7fffffff ? 0x7fffffff : static_cast<int>(offset);
}

inline QChar shown(char byte) {
    return QChar(receiver::shownChar(static_cast<unsigned char>(byte)));
}

inline bool isWordChar(char byte) {
    const QChar c = shown(byte);
    return c.isLetterOrNumber() || c == '_';
}

// Pasted or typed text as the log's lines: any line break ends a line; a character the log's
// code page lacks becomes "?", a control character its own byte.
std::vector<std::string> linesOf(const QString& text);

// What a key with text may type: no Ctrl shortcut, no control character.
bool isTyping(const QKeyEvent* event);

}  // namespace nira::ui::log_view_parts
