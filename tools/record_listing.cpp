#include "tools/record_listing.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tools/escaped_text.h"

namespace {

// The widest line of the summary.
const size_t kSummaryColumns = 100;

// The column of a key's `occurrence`-th appearance in one record (from 1).
std::string ColumnName(const std::string& key, unsigned occurrence) {
    return occurrence == 1 ? key : key + "#" + std::to_string(occurrence);
}

const size_t kNoColumn = static_cast<size_t>(-1);

// The columns of the table and the CSV, in the order their names first appeared.
class Columns {
  public:
    // The column of each entry of `record`, in entry order. A name not seen before gets a new
    // column when `add` is true, else kNoColumn.
    std::vector<size_t> Place(const RecordEntries& record, bool add) {
        // Records mostly share one layout: the keys of the last record placed, compared first,
        // save looking every name up again.
        if (record.size() == mLastKeys.size() &&
            std::equal(record.begin(), record.end(), mLastKeys.begin(),
                       [](const std::pair<std::string, std::string>& entry,
                          const std::string& key) { return entry.first == key; }))
            return mLastPlaced;
        std::vector<size_t> placed;
        placed.reserve(record.size());
        std::map<std::string, unsigned> seen;
        for (const auto& entry : record) {
            const std::string name = ColumnName(entry.first, ++seen[entry.first]);
            auto found = mIndex.find(name);
            if (found == mIndex.end() && add) {
                found = mIndex.emplace(name, mNames.size()).first;
                mNames.push_back(name);
            }
            placed.push_back(found == mIndex.end() ? kNoColumn : found->second);
        }
        mLastKeys.clear();
        for (const auto& entry : record) mLastKeys.push_back(entry.first);
        mLastPlaced = placed;
        return placed;
    }

    const std::vector<std::string>& names() const { return mNames; }

  private:
    std::vector<std::string> mNames;
    std::map<std::string, size_t> mIndex;
    std::vector<std::string> mLastKeys;
    std::vector<size_t> mLastPlaced;
};

// The cells of one line, a column each, `width` of them, filled from the entries of `record`
// placed by Columns::Place; `shown` turns a value into its cell.
template <typename Shown>
std::vector<std::string> RowOf(const RecordEntries& record, const std::vector<size_t>& placed,
                               size_t width, Shown shown) {
    std::vector<std::string> row(width);
    for (size_t i = 0; i < placed.size(); ++i)
        if (placed[i] != kNoColumn) row[placed[i]] = shown(record[i].second);
    return row;
}

// Hands the records of `source` that `filter` accepts, the first `limit` of them (0: all), one by
// one to `take`; returns how many it handed over. With `toTheEnd` the source is read to its end
// even past the limit, so that a file damaged further down is reported whatever the limit.
template <typename Take>
size_t ForEachSelected(RecordSource& source, const RecordFilter& filter, size_t limit,
                       bool toTheEnd, Take take) {
    RecordEntries record;
    size_t taken = 0;
    while (source.Next(&record)) {
        if (limit != 0 && taken == limit) {
            if (toTheEnd) continue;
            break;
        }
        if (!filter.Accepts(record)) continue;
        take(&record);
        ++taken;
    }
    return taken;
}

std::vector<std::string> Escaped(const std::vector<std::string>& cells) {
    std::vector<std::string> shown;
    for (const std::string& cell : cells) shown.push_back(TableCell(cell));
    return shown;
}

// Widens `*widths` (one per cell, grown as needed) to the cells of `line`.
void Widen(std::vector<size_t>* widths, const std::vector<std::string>& line) {
    if (widths->size() < line.size()) widths->resize(line.size(), 0);
    for (size_t c = 0; c < line.size(); ++c)
        (*widths)[c] = std::max((*widths)[c], DisplayWidth(line[c]));
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

// Writes one line of the table: its cells, columns two blanks apart, each padded (or cut) to
// its width in `widths`, with no blanks at the end.
void WriteLine(const std::vector<std::string>& line, const std::vector<size_t>& widths, FILE* out) {
    std::string text;
    for (size_t c = 0; c < line.size(); ++c) {
        const std::string cell = Cut(line[c], widths[c]);
        text += cell;
        if (c + 1 < line.size()) text.append(widths[c] - DisplayWidth(cell) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    fprintf(out, "%s\n", text.c_str());
}

// The table of every key: the first pass finds the columns and their widths, the second writes.
size_t WriteTable(RecordSource& source, const RecordFilter& filter, size_t limit, FILE* out) {
    Columns columns;
    std::vector<size_t> widths;
    const size_t count = ForEachSelected(source, filter, limit, true, [&](RecordEntries* record) {
        const std::vector<size_t> placed = columns.Place(*record, true);
        widths.resize(columns.names().size(), 0);
        for (size_t i = 0; i < placed.size(); ++i)
            widths[placed[i]] =
                std::max(widths[placed[i]], DisplayWidth(TableCell((*record)[i].second)));
    });
    if (count == 0) return 0;
    const std::vector<std::string> header = Escaped(columns.names());
    Widen(&widths, header);
    WriteLine(header, widths, out);
    source.Rewind();
    ForEachSelected(source, filter, limit, false, [&](RecordEntries* record) {
        WriteLine(RowOf(*record, columns.Place(*record, false), widths.size(), TableCell), widths,
                  out);
    });
    return count;
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

// The summary's cells of `record`, as the table shows them.
std::vector<std::string> SummaryCells(const RecordEntries& record) {
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
    return Escaped(std::vector<std::string>(std::begin(cells), std::end(cells)));
}

// The summary: the first pass finds the widths, the second writes.
size_t WriteSummary(RecordSource& source, const RecordFilter& filter, size_t limit, FILE* out) {
    enum { kId, kStart, kDuration, kCaller, kCalled, kCodec, kLoss };
    const std::vector<std::string> header = {"ID",     "start", "duration", "caller",
                                             "called", "codec", "loss"};
    std::vector<size_t> widths;
    Widen(&widths, header);
    const size_t count = ForEachSelected(source, filter, limit, true, [&](RecordEntries* record) {
        Widen(&widths, SummaryCells(*record));
    });
    if (count == 0) return 0;
    Narrow(&widths, {kCaller, kCalled, kCodec}, 6, kSummaryColumns);
    WriteLine(header, widths, out);
    source.Rewind();
    ForEachSelected(source, filter, limit, false,
                    [&](RecordEntries* record) { WriteLine(SummaryCells(*record), widths, out); });
    return count;
}

// Adds "start_iso" after the start time of `*record`, empty where the start is unknown.
void AddStartIso(RecordEntries* record) {
    long long start = 0;
    const std::string iso = RecordStart(*record, &start) ? FormatLocalTime(start, true) : "";
    for (auto entry = record->begin(); entry != record->end(); ++entry) {
        if (entry->first != "ST") continue;
        record->insert(entry + 1, {"start_iso", iso});
        return;
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

// CSV: the first pass finds the columns for the header, the second writes the rows. Bytes pass
// as the file holds them for the programs that read it; on a terminal, whose reader is a person,
// values are escaped as in the table, so that they cannot act on the terminal.
size_t WriteCsv(RecordSource& source, const RecordFilter& filter, size_t limit, FILE* out) {
    const bool forPerson = isatty(fileno(out)) == 1;
    Columns columns;
    const size_t count = ForEachSelected(source, filter, limit, true, [&](RecordEntries* record) {
        AddStartIso(record);
        columns.Place(*record, true);
    });
    if (count == 0) return 0;
    WriteCsvRow(forPerson ? Escaped(columns.names()) : columns.names(), out);
    source.Rewind();
    const size_t width = columns.names().size();
    ForEachSelected(source, filter, limit, false, [&](RecordEntries* record) {
        AddStartIso(record);
        WriteCsvRow(RowOf(*record, columns.Place(*record, false), width,
                          [forPerson](const std::string& value) {
                              return forPerson ? TableCell(value) : value;
                          }),
                    out);
    });
    return count;
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

size_t ListRecords(RecordSource& source, const RecordFilter& filter, size_t limit,
                   RecordFormat format, FILE* out) {
    switch (format) {
        case RecordFormat::kSummary:
            return WriteSummary(source, filter, limit, out);
        case RecordFormat::kTable:
            return WriteTable(source, filter, limit, out);
        case RecordFormat::kCsv:
            return WriteCsv(source, filter, limit, out);
        case RecordFormat::kJson:
            break;
    }
    return ForEachSelected(source, filter, limit, true, [out](RecordEntries* record) {
        AddStartIso(record);
        WriteJsonRecord(*record, out);
    });
}
