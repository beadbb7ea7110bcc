#include "receiver/log_text.hpp"

namespace nira::receiver {

std::string logLine(std::string_view timeStamp, std::string_view content) {
    std::string out;
    out.reserve(timeStamp.size() + kLogArrow.size() + content.size());
    out.append(timeStamp).append(kLogArrow).append(content);
    return out;
}

LineBreakPlace appendedBreakPlace(std::string_view text) {
    return text.empty() || text.back() == '\n' || text.back() == '\r' ? LineBreakPlace::AfterLine
                                                                      : LineBreakPlace::BeforeLine;
}

std::string appendedPiece(std::string_view text, std::string_view line) {
    std::string piece;
    piece.reserve(line.size() + kLineBreak.size());
    if (appendedBreakPlace(text) == LineBreakPlace::AfterLine) {
        piece.append(line).append(kLineBreak);
    } else {
        piece.append(kLineBreak).append(line);
    }
    return piece;
}

void appendLogLine(std::string& text, std::string_view line) {
    text += appendedPiece(text, line);
}

}  // namespace nira::receiver
