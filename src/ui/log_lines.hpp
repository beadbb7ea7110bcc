#pragma once
// The log's text as lines of bytes, kept compactly: the lines' bytes packed into chunks of a few
// tens of kilobytes with an end offset per line, so a million lines cost little more than their
// bytes, and an edit or an append touches one chunk. Chunks are shared between copies (a copy is
// cheap and sees the text as it was), so a save can write a copy on another thread while the log
// goes on changing. No Qt here.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace nira::ui {

// A place in the text: a line and a byte within it (0 to the line's length).
struct LogPosition {
    std::size_t line = 0;
    std::size_t column = 0;
    friend bool operator==(const LogPosition&, const LogPosition&) = default;
    friend bool operator<(const LogPosition& a, const LogPosition& b) {
        return std::tie(a.line, a.column) < std::tie(b.line, b.column);
    }
    friend bool operator>(const LogPosition& a, const LogPosition& b) { return b < a; }
    friend bool operator<=(const LogPosition& a, const LogPosition& b) { return !(b < a); }
    friend bool operator>=(const LogPosition& a, const LogPosition& b) { return !(a < b); }
};

class LogLines {
    struct Chunk;

  public:
    // Empty: one empty line.
    LogLines();

    class Builder;
    // Splits bytes at CR LF, LF or CR alone.
    static LogLines fromText(std::string_view bytes);

    std::size_t lineCount() const { return firstLines_.back(); }
    std::string_view line(std::size_t index) const;
    // All bytes of all lines, breaks not counted.
    std::size_t byteCount() const { return bytes_; }
    bool empty() const { return lineCount() == 1 && bytes_ == 0; }
    LogPosition end() const { return {lineCount() - 1, line(lineCount() - 1).size()}; }

    // Replaces the text between two places (in either order) with `lines` (at least one: the
    // text up to the first break, …, the text after the last). Returns the end of the new text.
    LogPosition replace(LogPosition from, LogPosition to, const std::vector<std::string>& lines);
    // Hands out the part of each line between two places (in either order), in order.
    void forEachPart(LogPosition from, LogPosition to,
                     const std::function<void(std::string_view)>& take) const;
    // A place as a count of characters from the start, each line break counted as one (as a
    // text with LF breaks has it), and back; an offset past the end is the end. Cheap on any
    // number of lines (what assistive tools ask by).
    std::size_t offsetOf(LogPosition position) const;
    LogPosition positionAt(std::size_t offset) const;
    // The characters in all, breaks counted as one each.
    std::size_t characterCount() const { return bytes_ + lineCount() - 1; }

    // The bytes between two places, lines joined by CR LF.
    std::string text(LogPosition from, LogPosition to) const;
    // The whole text, lines joined by CR LF.
    std::string text() const { return text({0, 0}, end()); }
    // Hands out the whole text, lines joined by CR LF, in pieces; stops when `write` says false
    // and then returns false.
    bool write(const std::function<bool(std::string_view)>& write) const;
    void clear() { *this = LogLines(); }

    friend bool operator==(const LogLines& a, const LogLines& b);

  private:
    struct Chunk {
        std::string bytes;
        std::vector<std::uint32_t> ends;  // line i is bytes[ends[i-1] .. ends[i])
        std::string_view line(std::size_t i) const;
    };
    using ChunkPtr = std::shared_ptr<Chunk>;

    // A chunk past these is split; a chunk this big is built whole when text is read.
    static constexpr std::size_t kChunkBytes = std::size_t{32} * 1024;
    static constexpr std::size_t kChunkLines = 1024;

    std::size_t chunkOf(std::size_t line) const;
    void renumberFrom(std::size_t chunk);
    // A chunk this object may change in place.
    Chunk& own(std::size_t chunk);
    void replaceLines(std::size_t first, std::size_t count,
                      const std::vector<std::string_view>& lines);
    static void addLines(std::vector<ChunkPtr>& chunks, const std::vector<std::string_view>& lines);

    std::vector<ChunkPtr> chunks_;
    std::vector<std::size_t> firstLines_;  // first line of each chunk, then the line count
    std::vector<std::size_t> firstBytes_;  // bytes before each chunk, then all bytes
    std::size_t bytes_ = 0;
};

// Makes the lines of a text that comes in pieces (a file read bit by bit): CR LF, LF or CR alone
// end a line, also when a CR LF is split between two pieces.
class LogLines::Builder {
  public:
    Builder();
    void add(std::string_view bytes);
    // The lines ended so far.
    std::size_t lineCount() const { return lines_; }
    LogLines finish() &&;

  private:
    static constexpr std::size_t kUnknown = ~std::size_t{0};
    void startChunk(std::size_t atLeast);
    void finishChunk();
    void addToLine(std::string_view bytes);
    void endLine();

    LogLines made_;
    std::shared_ptr<Chunk> chunk_;
    bool lineOpen_ = false;
    bool afterCr_ = false;
    std::size_t nextCr_ = kUnknown;
    std::size_t nextLf_ = kUnknown;
    std::size_t lines_ = 0;
};

}  // namespace nira::ui
