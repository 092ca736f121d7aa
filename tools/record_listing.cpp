#include "tools/record_listing.h"

#include <algorithm>
#include <map>

namespace {

// The records laid out on the columns: cells[record][column], empty where a record lacks a key.
struct Grid {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> cells;
};

// The column of a key's `occurrence`-th appearance in one record (from 1).
std::string ColumnName(const std::string& key, unsigned occurrence) {
    return occurrence == 1 ? key : key + "#" + std::to_string(occurrence);
}

Grid Lay(const std::vector<RecordEntries>& records) {
    Grid grid;
    std::map<std::string, size_t> columnOf;
    std::vector<std::vector<std::pair<size_t, const std::string*>>> placed(records.size());
    for (size_t r = 0; r < records.size(); ++r) {
        std::map<std::string, unsigned> seen;
        for (const auto& entry : records[r]) {
            const std::string name = ColumnName(entry.first, ++seen[entry.first]);
            auto found = columnOf.emplace(name, grid.columns.size());
            if (found.second) grid.columns.push_back(name);
            placed[r].emplace_back(found.first->second, &entry.second);
        }
    }
    grid.cells.assign(records.size(), std::vector<std::string>(grid.columns.size()));
    for (size_t r = 0; r < records.size(); ++r)
        for (const auto& cell : placed[r]) grid.cells[r][cell.first] = *cell.second;
    return grid;
}

// The length of the valid UTF-8 sequence starting at text[at], or 0 when there is none. Overlong
// forms, surrogates and code points past U+10FFFF are not valid.
size_t Utf8Length(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned lowest;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, lowest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    unsigned code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void AppendHex(std::string* out, const char* prefix, unsigned char byte, int digits) {
    char hex[16];
    snprintf(hex, sizeof hex, "%s%0*x", prefix, digits, byte);
    out->append(hex);
}

// The cell as the table shows it: one line, control bytes and backslashes escaped.
std::string TableCell(const std::string& value) {
    std::string shown;
    for (char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\\')
            shown += "\\\\";
        else if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == '\t')
            shown += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            AppendHex(&shown, "\\x", byte, 2);
        else
            shown += c;
    }
    return shown;
}

// Characters on screen, counting a UTF-8 sequence as one.
size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void WriteTable(const Grid& grid, FILE* out) {
    std::vector<std::vector<std::string>> lines(1, grid.columns);
    for (const auto& row : grid.cells) {
        lines.emplace_back();
        for (const std::string& cell : row) lines.back().push_back(TableCell(cell));
    }
    std::vector<size_t> widths(grid.columns.size(), 0);
    for (const auto& line : lines)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(line[c]));
    for (const auto& line : lines) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            text += line[c];
            if (c + 1 < line.size()) text.append(widths[c] - DisplayWidth(line[c]) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        fprintf(out, "%s\n", text.c_str());
    }
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

void WriteCsvRow(const std::vector<std::string>& fields, FILE* out) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) row += ',';
        row += CsvField(fields[i]);
    }
    row += "\r\n";
    fwrite(row.data(), 1, row.size(), out);
}

void WriteCsv(const Grid& grid, FILE* out) {
    WriteCsvRow(grid.columns, out);
    for (const auto& row : grid.cells) WriteCsvRow(row, out);
}

void WriteJsonRecord(const RecordEntries& record, FILE* out) {
    // Members in the order of each key's first entry; a repeated key collects its values.
    std::vector<std::pair<const std::string*, std::vector<const std::string*>>> members;
    std::map<std::string, size_t> memberOf;
    for (const auto& entry : record) {
        auto found = memberOf.emplace(entry.first, members.size());
        if (found.second) members.emplace_back(&entry.first, std::vector<const std::string*>());
        members[found.first->second].second.push_back(&entry.second);
    }
    std::string line = "{";
    for (const auto& member : members) {
        if (line.size() > 1) line += ',';
        AppendJsonString(&line, *member.first);
        line += ':';
        const auto& values = member.second;
        if (values.size() > 1) line += '[';
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) line += ',';
            AppendJsonString(&line, *values[i]);
        }
        if (values.size() > 1) line += ']';
    }
    line += "}\n";
    fwrite(line.data(), 1, line.size(), out);
}

}  // namespace

void AppendJsonString(std::string* out, const std::string& text) {
    *out += '"';
    for (size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const size_t length = Utf8Length(text, at);
        if (length > 1) {
            out->append(text, at, length);
            at += length;
            continue;
        }
        ++at;
        if (byte == '"')
            *out += "\\\"";
        else if (byte == '\\')
            *out += "\\\\";
        else if (byte == '\n')
            *out += "\\n";
        else if (byte == '\r')
            *out += "\\r";
        else if (byte == '\t')
            *out += "\\t";
        else if (byte < 0x20 || byte >= 0x7F)
            AppendHex(out, "\\u", byte, 4);
        else
            *out += static_cast<char>(byte);
    }
    *out += '"';
}

std::vector<RecordEntries> ReadRecords(Configuration::MultiSectionConfigFile& file, size_t limit) {
    std::vector<RecordEntries> records;
    file.Restart();
    while ((limit == 0 || records.size() < limit) && file.GotoNextSection() != 0) {
        records.emplace_back(file.GetEntryCount());
        for (unsigned i = 0; i < records.back().size(); ++i)
            file.GetEntry(i, &records.back()[i].first, &records.back()[i].second);
    }
    return records;
}

void WriteRecords(const std::vector<RecordEntries>& records, RecordFormat format, FILE* out) {
    if (records.empty()) return;
    if (format == RecordFormat::kJson) {
        for (const RecordEntries& record : records) WriteJsonRecord(record, out);
        return;
    }
    const Grid grid = Lay(records);
    if (format == RecordFormat::kCsv)
        WriteCsv(grid, out);
    else
        WriteTable(grid, out);
}
