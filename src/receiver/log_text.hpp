#pragma once
// The log is one text with CR LF line breaks; these are the rules for growing it.

#include <string>
#include <string_view>

namespace nira::receiver {

inline constexpr std::string_view kLineBreak = "\r\n";
inline constexpr std::string_view kLogArrow = " --> ";

// time stamp + " --> " + content
std::string logLine(std::string_view timeStamp, std::string_view content);

// The text that appending `line` to `text` gives: the line and CR LF when the text is empty or
// ends with a line break (CR or LF), otherwise CR LF and the line.
void appendLogLine(std::string& text, std::string_view line);

// Where appending a line to `text` puts the line break: after the line when the text is empty or
// ends with a line break (CR or LF), otherwise before it.
enum class LineBreakPlace { AfterLine, BeforeLine };
LineBreakPlace appendedBreakPlace(std::string_view text);

// What has to be added at the end of `text` to append `line` (the same rule, for widgets that
// append in place rather than replace their whole text).
std::string appendedPiece(std::string_view text, std::string_view line);

}  // namespace nira::receiver
