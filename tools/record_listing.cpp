#include "tools/record_listing.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <map>

namespace {

// The widest line of the summary.
const size_t kSummaryColumns = 100;

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

// Table lines, the header first, each a list of cells as the table shows them.
using Lines = std::vector<std::vector<std::string>>;

Lines TableLines(const Grid& grid) {
    Lines lines(1, grid.columns);
    for (const auto& row : grid.cells) {
        lines.emplace_back();
        for (const std::string& cell : row) lines.back().push_back(TableCell(cell));
    }
    return lines;
}

std::vector<size_t> ColumnWidths(const Lines& lines) {
    std::vector<size_t> widths(lines[0].size(), 0);
    for (const auto& line : lines)
        for (size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(line[c]));
    return widths;
}

// Narrows the widest of the `shrinkable` columns, one character at a time, until a line of
// `widths` (columns two blanks apart) fits `maxLine` or they are down to `minimum`.
void Narrow(std::vector<size_t>* widths, const std::vector<size_t>& shrinkable, size_t minimum,
            size_t maxLine) {
    size_t line = 2 * (widths->size() - 1);
    for (size_t width : *widths) line += width;
    for (; line > maxLine; --line) {
        size_t* widest = nullptr;
        for (size_t c : shrinkable)
            if ((*widths)[c] > minimum && (widest == nullptr || (*widths)[c] > *widest))
                widest = &(*widths)[c];
        if (widest == nullptr) return;
        --*widest;
    }
}

// The cell cut to `width` characters, its last one "…" when anything was cut.
std::string Cut(const std::string& cell, size_t width) {
    if (DisplayWidth(cell) <= width) return cell;
    size_t kept = 0, at = 0;
    for (; at < cell.size(); ++at) {
        if ((static_cast<unsigned char>(cell[at]) & 0xC0) == 0x80) continue;
        if (kept++ == width - 1) break;
    }
    return cell.substr(0, at) + "\xe2\x80\xa6";
}

void WriteLines(const Lines& lines, const std::vector<size_t>& widths, FILE* out) {
    for (const auto& line : lines) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            const std::string cell = Cut(line[c], widths[c]);
            text += cell;
            if (c + 1 < line.size()) text.append(widths[c] - DisplayWidth(cell) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        fprintf(out, "%s\n", text.c_str());
    }
}

void WriteTable(const Grid& grid, FILE* out) {
    const Lines lines = TableLines(grid);
    WriteLines(lines, ColumnWidths(lines), out);
}

// A whole number in `text`; false when it holds anything else.
bool ParseCount(const std::string* text, unsigned long long* value) {
    if (text == nullptr || text->empty() || (*text)[0] < '0' || (*text)[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    *value = strtoull(text->c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

// Seconds as h:mm:ss; a value that is not a whole number as it stands.
std::string Duration(const std::string* seconds) {
    unsigned long long total = 0;
    if (!ParseCount(seconds, &total)) return seconds == nullptr ? "" : *seconds;
    char text[32];
    snprintf(text, sizeof text, "%llu:%02llu:%02llu", total / 3600, total / 60 % 60, total % 60);
    return text;
}

// The first stream's lost packets in percent of those received and lost; empty without them.
std::string PacketLoss(const RecordEntries& record) {
    unsigned long long received = 0, lost = 0;
    if (!ParseCount(FindEntry(record, "rx_pkt"), &received) ||
        !ParseCount(FindEntry(record, "rx_lost"), &lost) || received + lost == 0)
        return "";
    char text[32];
    snprintf(text, sizeof text, "%.1f%%",
             100.0 * static_cast<double>(lost) / static_cast<double>(received + lost));
    return text;
}

std::string Value(const std::string* value) {
    return value == nullptr ? "" : *value;
}

void WriteSummary(const std::vector<RecordEntries>& records, FILE* out) {
    enum { kId, kStart, kDuration, kCaller, kCalled, kCodec, kLoss };
    Lines lines = {{"ID", "start", "duration", "caller", "called", "codec", "loss"}};
    for (const RecordEntries& record : records) {
        long long start = 0;
        const std::string* codec = FindEntry(record, "rx_enc");
        if (codec == nullptr) codec = FindEntry(record, "tx_enc");
        const std::string cells[] = {
            Value(FindEntry(record, "ID")),
            RecordStart(record, &start) ? FormatLocalTime(start, false) : "",
            Duration(FindEntry(record, "dur")),
            Value(FindEntry(record, "caller")),
            Value(FindEntry(record, "called")),
            Value(codec),
            PacketLoss(record),
        };
        lines.emplace_back();
        for (const std::string& cell : cells) lines.back().push_back(TableCell(cell));
    }
    std::vector<size_t> widths = ColumnWidths(lines);
    Narrow(&widths, {kCaller, kCalled, kCodec}, 6, kSummaryColumns);
    WriteLines(lines, widths, out);
}

// The records with "start_iso" after each start time, empty where the start is unknown.
std::vector<RecordEntries> WithStartIso(const std::vector<RecordEntries>& records) {
    std::vector<RecordEntries> extended = records;
    for (RecordEntries& record : extended) {
        long long start = 0;
        const std::string iso = RecordStart(record, &start) ? FormatLocalTime(start, true) : "";
        for (auto entry = record.begin(); entry != record.end(); ++entry) {
            if (entry->first != "ST") continue;
            record.insert(entry + 1, {"start_iso", iso});
            break;
        }
    }
    return extended;
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

std::vector<RecordEntries> ReadRecords(Configuration::MultiSectionConfigFile& file,
                                       const RecordFilter& filter, size_t limit) {
    std::vector<RecordEntries> records;
    file.Restart();
    while ((limit == 0 || records.size() < limit) && file.GotoNextSection() != 0) {
        RecordEntries record(file.GetEntryCount());
        for (unsigned i = 0; i < record.size(); ++i)
            file.GetEntry(i, &record[i].first, &record[i].second);
        if (filter.Accepts(record)) records.push_back(std::move(record));
    }
    return records;
}

void WriteRecords(const std::vector<RecordEntries>& records, RecordFormat format, FILE* out) {
    if (records.empty()) return;
    switch (format) {
        case RecordFormat::kSummary:
            WriteSummary(records, out);
            return;
        case RecordFormat::kTable:
            WriteTable(Lay(records), out);
            return;
        case RecordFormat::kCsv:
            WriteCsv(Lay(WithStartIso(records)), out);
            return;
        case RecordFormat::kJson:
            for (const RecordEntries& record : WithStartIso(records)) WriteJsonRecord(record, out);
            return;
    }
}
