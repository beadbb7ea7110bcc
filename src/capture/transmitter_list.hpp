#pragma once
// The site's list of transmitters: a CSV file the operator keeps (UTF-8, a header line, an `id`
// column of six hex digits or twelve Smart letters, a `name` column, any others). No Qt.
//
// A save writes back everything the file had, byte for byte where nothing changed: other
// columns, bad lines, lines that gave an ID again, the header, the separator, the line ends and
// a byte order mark. Only a changed name is written anew, and transmitters not in the file are
// added at its end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nira::capture {

// The three ID bytes of an event, big-endian in the low 24 bits.
using TransmitterId = std::uint32_t;

// "1A2B3C", as the log shows the ID.
std::string idText(TransmitterId id);
// The twelve Smart pins' letters, A0 to D0: "HLFDHLFDHLFD".
std::string smartLetters(TransmitterId id);
// Six hex digits or twelve of H, L, F, D (either case; blanks around are ignored).
std::optional<TransmitterId> parseTransmitterId(std::string_view text);

struct ListProblem {
    std::size_t line = 0;  // 1-based, where the record starts
    std::string text;
};

struct ListEntry {
    TransmitterId id = 0;
    std::string name;
};

class TransmitterList {
  public:
    TransmitterList();  // an empty list with the header "id,name"

    // The file's text. Bad lines and repeated IDs are told in `problems` and kept for the save;
    // a file without an `id` column in its first line is refused with a sentence
    // (std::runtime_error).
    static TransmitterList parse(std::string_view text, std::vector<ListProblem>& problems);

    const std::vector<ListEntry>& entries() const { return entries_; }

    // The file's text with these names (a listed ID not given keeps its name), and the entries
    // given whose IDs the file lacks appended in their order.
    std::string write(const std::vector<ListEntry>& current) const;

  private:
    struct Line {
        std::string raw;  // the record as read, its line end included
        std::vector<std::string> fields;
        std::optional<TransmitterId> id;  // a good line's, the first with that ID
    };
    std::string bom_;
    std::string header_;  // as read, its line end included
    char separator_ = ',';
    std::string lineEnd_ = "\r\n";
    std::size_t idColumn_ = 0;
    std::optional<std::size_t> nameColumn_;
    std::size_t columns_ = 2;
    std::vector<Line> lines_;
    std::vector<ListEntry> entries_;
};

}  // namespace nira::capture
