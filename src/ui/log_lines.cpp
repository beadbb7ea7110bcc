#include "ui/log_lines.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace nira::ui {

std::string_view LogLines::Chunk::line(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(start, ends[i] - start);
}

LogLines::LogLines() {
    auto chunk = std::make_shared<Chunk>();
    chunk->ends.push_back(0);
    chunks_.push_back(std::move(chunk));
    firstLines_ = {0, 1};
    firstBytes_ = {0, 0};
}

LogLines::Builder::Builder() {
    made_.chunks_.clear();
    startChunk(0);
}

void LogLines::Builder::startChunk(std::size_t atLeast) {
    chunk_ = std::make_shared<Chunk>();
    chunk_->bytes.reserve(std::max(kChunkBytes, atLeast));
    chunk_->ends.reserve(kChunkLines);
}

void LogLines::Builder::endLine() {
    chunk_->ends.push_back(static_cast<std::uint32_t>(chunk_->bytes.size()));
    lineOpen_ = false;
    ++lines_;
    // Empty lines fill a chunk too (a file of bare line breaks would be one chunk otherwise).
    if (chunk_->ends.size() >= kChunkLines) {
        finishChunk();
        startChunk(0);
    }
}

void LogLines::Builder::addToLine(std::string_view bytes) {
    if (!lineOpen_ && !chunk_->ends.empty() &&
        (chunk_->bytes.size() + bytes.size() > kChunkBytes || chunk_->ends.size() >= kChunkLines)) {
        finishChunk();
        startChunk(bytes.size());
    }
    lineOpen_ = true;
    chunk_->bytes.append(bytes);
}

void LogLines::Builder::finishChunk() {
    chunk_->ends.shrink_to_fit();
    // A chunk of short lines gives back the room kept for long ones.
    if (chunk_->bytes.capacity() - chunk_->bytes.size() > kChunkBytes / 8) {
        chunk_->bytes.shrink_to_fit();
    }
    made_.bytes_ += chunk_->bytes.size();
    made_.chunks_.push_back(std::move(chunk_));
}

void LogLines::Builder::add(std::string_view bytes) {
    std::size_t start = 0;
    if (afterCr_ && !bytes.empty() && bytes[0] == '\n') {
        start = 1;  // the LF of a CR LF split between two pieces
    }
    afterCr_ = false;
    while (start < bytes.size()) {
        // The next break: CR or LF, whichever comes first. Each is looked for again only once
        // passed, so a piece without one of them is not searched to its end for every line.
        const auto find = [&](char c) {
            const void* found = std::memchr(bytes.data() + start, c, bytes.size() - start);
            return found == nullptr
                       ? bytes.size()
                       : static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
        };
        if (nextCr_ < start || nextCr_ == kUnknown) {
            nextCr_ = find('\r');
        }
        if (nextLf_ < start || nextLf_ == kUnknown) {
            nextLf_ = find('\n');
        }
        const std::size_t at = std::min(nextCr_, nextLf_);
        addToLine(bytes.substr(start, at - start));
        if (at == bytes.size()) {
            break;
        }
        endLine();
        start = at + 1;
        if (bytes[at] == '\r') {
            if (start == bytes.size()) {
                afterCr_ = true;
            } else if (bytes[start] == '\n') {
                ++start;
            }
        }
    }
    nextCr_ = nextLf_ = kUnknown;
}

LogLines LogLines::Builder::finish() && {
    endLine();
    // A chunk that the last line filled was handed on already; no empty one after it.
    if (!chunk_->ends.empty() || made_.chunks_.empty()) {
        finishChunk();
    }
    made_.renumberFrom(0);
    return std::move(made_);
}

LogLines LogLines::fromText(std::string_view bytes) {
    Builder builder;
    builder.add(bytes);
    return std::move(builder).finish();
}

std::size_t LogLines::chunkOf(std::size_t line) const {
    // Most lookups are at the end, where lines arrive.
    if (line >= firstLines_[chunks_.size() - 1]) {
        return chunks_.size() - 1;
    }
    const auto after = std::upper_bound(firstLines_.begin(), firstLines_.end() - 1, line);
    return static_cast<std::size_t>(after - firstLines_.begin()) - 1;
}

std::string_view LogLines::line(std::size_t index) const {
    if (index >= lineCount()) {
        throw std::out_of_range("no such log line");
    }
    const std::size_t chunk = chunkOf(index);
    return chunks_[chunk]->line(index - firstLines_[chunk]);
}

void LogLines::renumberFrom(std::size_t chunk) {
    firstLines_.resize(chunks_.size() + 1);
    firstBytes_.resize(chunks_.size() + 1);
    for (std::size_t i = chunk; i < chunks_.size(); ++i) {
        firstLines_[i + 1] = firstLines_[i] + chunks_[i]->ends.size();
        firstBytes_[i + 1] = firstBytes_[i] + chunks_[i]->bytes.size();
    }
}

std::size_t LogLines::offsetOf(LogPosition position) const {
    if (position.line >= lineCount()) {
        return characterCount();
    }
    const std::size_t chunk = chunkOf(position.line);
    const std::size_t at = position.line - firstLines_[chunk];
    const std::size_t before = at == 0 ? 0 : chunks_[chunk]->ends[at - 1];
    return firstBytes_[chunk] + before + position.line +
           std::min(position.column, line(position.line).size());
}

LogPosition LogLines::positionAt(std::size_t offset) const {
    if (offset >= characterCount()) {
        return end();
    }
    // The last chunk starting at or before the offset (a chunk starts at its bytes and breaks
    // before it).
    std::size_t low = 0;
    std::size_t high = chunks_.size();
    while (high - low > 1) {
        const std::size_t middle = (low + high) / 2;
        if (firstBytes_[middle] + firstLines_[middle] <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    const Chunk& chunk = *chunks_[low];
    const std::size_t inChunk = offset - firstBytes_[low] - firstLines_[low];
    // The first line whose end (with the breaks before it) reaches the offset.
    std::size_t first = 0;
    std::size_t last = chunk.ends.size() - 1;
    while (first < last) {
        const std::size_t middle = (first + last) / 2;
        if (chunk.ends[middle] + middle < inChunk) {
            first = middle + 1;
        } else {
            last = middle;
        }
    }
    const std::size_t start = first == 0 ? 0 : chunk.ends[first - 1];
    return {firstLines_[low] + first, inChunk - first - start};
}

LogLines::Chunk& LogLines::own(std::size_t chunk) {
    if (chunks_[chunk].use_count() > 1) {
        chunks_[chunk] = std::make_shared<Chunk>(*chunks_[chunk]);
    }
    return *chunks_[chunk];
}

void LogLines::addLines(std::vector<ChunkPtr>& chunks, const std::vector<std::string_view>& lines) {
    for (const std::string_view text : lines) {
        if (chunks.empty() || (!chunks.back()->ends.empty() &&
                               (chunks.back()->bytes.size() + text.size() > kChunkBytes ||
                                chunks.back()->ends.size() >= kChunkLines))) {
            chunks.push_back(std::make_shared<Chunk>());
        }
        Chunk& chunk = *chunks.back();
        chunk.bytes.append(text);
        chunk.ends.push_back(static_cast<std::uint32_t>(chunk.bytes.size()));
    }
}

void LogLines::replaceLines(std::size_t first, std::size_t count,
                            const std::vector<std::string_view>& lines) {
    std::size_t added = 0;
    for (const std::string_view text : lines) {
        added += text.size();
    }
    const std::size_t firstChunk = chunkOf(first);
    const std::size_t lastChunk = chunkOf(first + count - 1);
    const std::size_t base = firstLines_[firstChunk];
    std::size_t removed = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        removed += line(i).size();
    }

    if (firstChunk == lastChunk) {
        // Within one chunk (an append, a typed key): changed in place.
        Chunk& chunk = own(firstChunk);
        const std::size_t at = first - base;
        const std::size_t startByte = at == 0 ? 0 : chunk.ends[at - 1];
        const std::size_t endByte = chunk.ends[at + count - 1];
        std::string joined;
        joined.reserve(added);
        std::vector<std::uint32_t> ends;
        ends.reserve(lines.size());
        for (const std::string_view text : lines) {
            joined.append(text);
            ends.push_back(static_cast<std::uint32_t>(startByte + joined.size()));
        }
        chunk.bytes.replace(startByte, endByte - startByte, joined);
        const auto shift = static_cast<std::int64_t>(joined.size()) -
                           static_cast<std::int64_t>(endByte - startByte);
        for (std::size_t i = at + count; i < chunk.ends.size(); ++i) {
            chunk.ends[i] =
                static_cast<std::uint32_t>(static_cast<std::int64_t>(chunk.ends[i]) + shift);
        }
        const auto endsAt = chunk.ends.begin() + static_cast<std::ptrdiff_t>(at);
        chunk.ends.erase(endsAt, endsAt + static_cast<std::ptrdiff_t>(count));
        chunk.ends.insert(chunk.ends.begin() + static_cast<std::ptrdiff_t>(at), ends.begin(),
                          ends.end());
        bytes_ = bytes_ - removed + added;
        if (chunk.ends.size() <= 2 * kChunkLines && chunk.bytes.size() <= 2 * kChunkBytes) {
            renumberFrom(firstChunk);
            return;
        }
        // Grown past its size: split below.
    }

    // Across chunks, or a chunk grown too big: the chunks concerned are built again.
    std::vector<std::string_view> kept;
    const std::size_t lastLine = firstLines_[lastChunk + 1];
    const bool inPlace = firstChunk == lastChunk;
    std::vector<ChunkPtr> rebuilt;
    if (inPlace) {
        const Chunk& chunk = *chunks_[firstChunk];
        for (std::size_t i = 0; i < chunk.ends.size(); ++i) {
            kept.push_back(chunk.line(i));
        }
    } else {
        for (std::size_t i = base; i < first; ++i) {
            kept.push_back(line(i));
        }
        kept.insert(kept.end(), lines.begin(), lines.end());
        for (std::size_t i = first + count; i < lastLine; ++i) {
            kept.push_back(line(i));
        }
        bytes_ = bytes_ - removed + added;
    }
    addLines(rebuilt, kept);
    // Chunks grew by doubling; all but the last, where lines go on arriving, give back the slack.
    for (std::size_t i = 0; i + 1 < rebuilt.size(); ++i) {
        rebuilt[i]->bytes.shrink_to_fit();
        rebuilt[i]->ends.shrink_to_fit();
    }
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(firstChunk),
                  chunks_.begin() + static_cast<std::ptrdiff_t>(lastChunk + 1));
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(firstChunk), rebuilt.begin(),
                   rebuilt.end());
    renumberFrom(firstChunk);
}

LogPosition LogLines::replace(LogPosition from, LogPosition to,
                              const std::vector<std::string>& lines) {
    if (to < from) {
        std::swap(from, to);
    }
    if (lines.empty() || to.line >= lineCount()) {
        throw std::out_of_range("no such place in the log");
    }
    from.column = std::min(from.column, line(from.line).size());
    to.column = std::min(to.column, line(to.line).size());
    if (from.line == to.line && lines.size() == 1) {
        // Within one line (a typed key, a paste without breaks): changed where it is, so an
        // edit in a line of megabytes costs what it changes, not a copy of the line.
        const std::size_t chunkIndex = chunkOf(from.line);
        const std::size_t at = from.line - firstLines_[chunkIndex];
        const Chunk& seen = *chunks_[chunkIndex];
        const std::size_t grown = seen.bytes.size() + lines.front().size();
        if (seen.ends.size() == 1 || grown <= 2 * kChunkBytes) {
            Chunk& chunk = own(chunkIndex);
            const std::size_t start = at == 0 ? 0 : chunk.ends[at - 1];
            const std::size_t removed = to.column - from.column;
            chunk.bytes.replace(start + from.column, removed, lines.front());
            const auto shift = static_cast<std::int64_t>(lines.front().size()) -
                               static_cast<std::int64_t>(removed);
            for (std::size_t i = at; i < chunk.ends.size(); ++i) {
                chunk.ends[i] =
                    static_cast<std::uint32_t>(static_cast<std::int64_t>(chunk.ends[i]) + shift);
            }
            bytes_ = bytes_ - removed + lines.front().size();
            renumberFrom(chunkIndex);
            return {from.line, from.column + lines.front().size()};
        }
    }
    const std::string_view head = line(from.line).substr(0, from.column);
    const std::string_view tail = line(to.line).substr(to.column);
    // The first and last new lines take the untouched text around the place.
    std::string firstLine = std::string(head) + lines.front();
    std::string lastLine;
    std::vector<std::string_view> made;
    made.reserve(lines.size());
    LogPosition endOfNew;
    if (lines.size() == 1) {
        endOfNew = {from.line, firstLine.size()};
        firstLine += tail;
        made.push_back(firstLine);
    } else {
        lastLine = lines.back();
        endOfNew = {from.line + lines.size() - 1, lastLine.size()};
        lastLine += tail;
        made.push_back(firstLine);
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            made.push_back(lines[i]);
        }
        made.push_back(lastLine);
    }
    replaceLines(from.line, to.line - from.line + 1, made);
    return endOfNew;
}

void LogLines::forEachPart(LogPosition from, LogPosition to,
                           const std::function<void(std::string_view)>& take) const {
    if (to < from) {
        std::swap(from, to);
    }
    for (std::size_t i = from.line; i <= to.line && i < lineCount(); ++i) {
        std::string_view text = line(i);
        if (i == to.line) {
            text = text.substr(0, std::min(to.column, text.size()));
        }
        if (i == from.line) {
            text = text.substr(std::min(from.column, text.size()));
        }
        take(text);
    }
}

std::string LogLines::text(LogPosition from, LogPosition to) const {
    std::string joined;
    bool first = true;
    forEachPart(from, to, [&](std::string_view part) {
        if (!first) {
            joined += "\r\n";
        }
        first = false;
        joined += part;
    });
    return joined;
}

bool LogLines::write(const std::function<bool(std::string_view)>& write) const {
    std::string piece;
    for (std::size_t c = 0; c < chunks_.size(); ++c) {
        const Chunk& chunk = *chunks_[c];
        piece.clear();
        piece.reserve(chunk.bytes.size() + 2 * chunk.ends.size());
        for (std::size_t i = 0; i < chunk.ends.size(); ++i) {
            if (c > 0 || i > 0) {
                piece += "\r\n";
            }
            piece += chunk.line(i);
        }
        if (!write(piece)) {
            return false;
        }
    }
    return true;
}

bool operator==(const LogLines& a, const LogLines& b) {
    if (a.lineCount() != b.lineCount() || a.byteCount() != b.byteCount()) {
        return false;
    }
    for (std::size_t i = 0; i < a.lineCount(); ++i) {
        if (a.line(i) != b.line(i)) {
            return false;
        }
    }
    return true;
}

}  // namespace nira::ui
