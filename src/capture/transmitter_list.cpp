#include "capture/transmitter_list.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "receiver/message.hpp"

namespace nira::capture {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

struct Record {
    std::size_t line = 0;
    std::string raw;
    std::vector<std::string> fields;
    bool unclosedQuote = false;
};

// RFC 4180 records: quoted fields may hold the separator, doubled quotes and line breaks.
std::vector<Record> splitRecords(std::string_view text, char separator) {
    std::vector<Record> records;
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        Record record;
        record.line = line;
        std::string field;
        bool quoted = false;
        const std::size_t start = at;
        for (; at < text.size(); ++at) {
            const char c = text[at];
            if (quoted) {
                if (c == '"') {
                    if (at + 1 < text.size() && text[at + 1] == '"') {
                        field += '"';
                        ++at;
                    } else {
                        quoted = false;
                    }
                } else {
                    line += c == '\n' ? 1 : 0;
                    field += c;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == separator) {
                record.fields.push_back(std::move(field));
                field.clear();
            } else if (c == '\n') {
                ++at;
                ++line;
                break;
            } else if (c != '\r' || (at + 1 < text.size() && text[at + 1] != '\n')) {
                field += c;
            }
        }
        record.fields.push_back(std::move(field));
        record.unclosedQuote = quoted;
        record.raw = std::string(text.substr(start, at - start));
        records.push_back(std::move(record));
    }
    return records;
}

char separatorOf(std::string_view headerLine) {
    const auto end = headerLine.find('\n');
    const std::string_view first = headerLine.substr(0, end);
    const auto commas = std::count(first.begin(), first.end(), ',');
    const auto semicolons = std::count(first.begin(), first.end(), ';');
    // A spreadsheet in a locale whose decimal mark is a comma writes semicolons.
    return semicolons > commas ? ';' : ',';
}

std::string quotedField(std::string_view field, char separator) {
    if (field.find_first_of(std::string{separator, '"', '\r', '\n'}) == std::string_view::npos &&
        trimmed(field).size() == field.size()) {
        return std::string(field);
    }
    std::string out = "\"";
    for (const char c : field) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return out;
}

std::string joined(const std::vector<std::string>& fields, char separator) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += quotedField(fields[i], separator);
    }
    return out;
}

bool blank(const std::vector<std::string>& fields) {
    return std::all_of(fields.begin(), fields.end(),
                       [](const std::string& field) { return trimmed(field).empty(); });
}

}  // namespace

std::string idText(TransmitterId id) {
    return receiver::hexByte(static_cast<std::uint8_t>(id >> 16)) +
           receiver::hexByte(static_cast<std::uint8_t>(id >> 8)) +
           receiver::hexByte(static_cast<std::uint8_t>(id));
}

std::string smartLetters(TransmitterId id) {
    std::string out;
    for (int shift = 22; shift >= 0; shift -= 2) {
        out += receiver::triStateLetter((id >> static_cast<unsigned>(shift)) & 3U);
    }
    return out;
}

std::optional<TransmitterId> parseTransmitterId(std::string_view text) {
    text = trimmed(text);
    TransmitterId id = 0;
    if (text.size() == 6) {
        for (const char c : text) {
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
            id = (id << 4U) | digit;
        }
        return id;
    }
    if (text.size() == 12) {
        for (const char c : text) {
            unsigned pair = 0;
            switch (c) {
                case 'H':
                case 'h':
                    pair = 0;
                    break;
                case 'L':
                case 'l':
                    pair = 3;
                    break;
                case 'F':
                case 'f':
                    pair = 2;
                    break;
                case 'D':
                case 'd':
                    pair = 1;
                    break;
                default:
                    return std::nullopt;
            }
            id = (id << 2U) | pair;
        }
        return id;
    }
    return std::nullopt;
}

TransmitterList::TransmitterList() : header_("id,name\r\n"), nameColumn_(1) {}

TransmitterList TransmitterList::parse(std::string_view text, std::vector<ListProblem>& problems) {
    TransmitterList list;
    list.header_.clear();
    list.nameColumn_.reset();
    if (text.substr(0, kBom.size()) == kBom) {
        list.bom_ = kBom;
        text.remove_prefix(kBom.size());
    }
    list.separator_ = separatorOf(text);
    std::vector<Record> records = splitRecords(text, list.separator_);
    if (records.empty()) {
        throw std::runtime_error(
            "The transmitter list is empty: its first line must name the "
            "columns, one of them \"id\"");
    }
    const Record& header = records.front();
    bool hasId = false;
    for (std::size_t column = 0; column < header.fields.size(); ++column) {
        const std::string name = lowered(trimmed(header.fields[column]));
        if (name == "id" && !hasId) {
            list.idColumn_ = column;
            hasId = true;
        } else if (name == "name" && !list.nameColumn_) {
            list.nameColumn_ = column;
        }
    }
    if (!hasId) {
        throw std::runtime_error(
            "The transmitter list has no \"id\" column: its first line must "
            "name the columns, one of them \"id\"");
    }
    list.columns_ = header.fields.size();
    list.header_ = header.raw;
    if (header.raw.size() >= 2 && header.raw.compare(header.raw.size() - 2, 2, "\r\n") == 0) {
        list.lineEnd_ = "\r\n";
    } else {
        list.lineEnd_ = "\n";
    }
    std::unordered_map<TransmitterId, std::size_t> firstLine;
    for (std::size_t i = 1; i < records.size(); ++i) {
        Record& record = records[i];
        Line line{std::move(record.raw), std::move(record.fields), std::nullopt};
        const std::string_view idField =
            list.idColumn_ < line.fields.size() ? trimmed(line.fields[list.idColumn_]) : "";
        if (record.unclosedQuote) {
            problems.push_back({record.line,
                                "a quote is opened and never closed; the line is "
                                "kept in the file as it is"});
        } else if (blank(line.fields) ||
                   (!line.fields.empty() && trimmed(line.fields.front()).starts_with("#"))) {
            // Blank lines and notes are the operator's: kept, not told.
        } else if (const auto id = parseTransmitterId(idField); !id) {
            problems.push_back(
                {record.line, "\"" + std::string(idField) +
                                  "\" is not a transmitter ID (six hex digits or twelve of the "
                                  "letters H, L, F, D); the line is kept in the file as it is"});
        } else if (const auto seen = firstLine.find(*id); seen != firstLine.end()) {
            problems.push_back({record.line, idText(*id) + " is given again (first on line " +
                                                 std::to_string(seen->second) +
                                                 "); the first is used"});
        } else {
            firstLine.emplace(*id, record.line);
            line.id = id;
            const std::string name = list.nameColumn_ && *list.nameColumn_ < line.fields.size()
                                         ? std::string(trimmed(line.fields[*list.nameColumn_]))
                                         : std::string();
            list.entries_.push_back({*id, name});
        }
        list.lines_.push_back(std::move(line));
    }
    return list;
}

std::string TransmitterList::write(const std::vector<ListEntry>& current) const {
    std::unordered_map<TransmitterId, const std::string*> names;
    for (const ListEntry& entry : current) {
        names.emplace(entry.id, &entry.name);
    }
    // Names need a column: a file without one gains it at the header's end.
    const bool anyName = std::any_of(current.begin(), current.end(),
                                     [](const ListEntry& entry) { return !entry.name.empty(); });
    std::size_t columns = columns_;
    std::optional<std::size_t> nameColumn = nameColumn_;
    std::string header = header_;
    if (!nameColumn && anyName) {
        nameColumn = columns++;
        const auto end = header.find_last_not_of("\r\n");
        header.insert(end == std::string::npos ? 0 : end + 1, std::string(1, separator_) + "name");
    }
    std::string out = bom_ + header;
    const auto endLine = [&] {
        if (!out.empty() && out.back() != '\n') {
            out += lineEnd_;
        }
    };
    std::unordered_set<TransmitterId> inFile;
    for (const Line& line : lines_) {
        endLine();
        if (!line.id) {
            out += line.raw;
            continue;
        }
        inFile.insert(*line.id);
        const auto given = names.find(*line.id);
        const std::string_view had = nameColumn && *nameColumn < line.fields.size()
                                         ? trimmed(line.fields[*nameColumn])
                                         : std::string_view();
        if (given == names.end() || !nameColumn || *given->second == had) {
            out += line.raw;
            continue;
        }
        std::vector<std::string> fields = line.fields;
        fields.resize(std::max(fields.size(), *nameColumn + 1));
        fields[*nameColumn] = *given->second;
        const bool ended = !line.raw.empty() && line.raw.back() == '\n';
        out += joined(fields, separator_) + (ended ? lineEnd_ : "");
    }
    for (const ListEntry& entry : current) {
        if (inFile.count(entry.id) != 0) {
            continue;
        }
        endLine();
        std::vector<std::string> fields(columns);
        fields[idColumn_] = idText(entry.id);
        if (nameColumn) {
            fields[*nameColumn] = entry.name;
        }
        out += joined(fields, separator_) + lineEnd_;
    }
    return out;
}

}  // namespace nira::capture
