// Prints call records read from the recorder's sectioned files, newest first, as a short table of
// the call's essentials, as a table of every key, as CSV or as JSON lines, for people and for
// other programs.
//
// Columns. Every key that occurs in the printed records is a column, in the order of its first
// appearance (newest record first, then entry order). A key that occurs more than once in one
// record (the record layout repeats "srtp" for the second media stream) fills the column "key"
// with its first value and "key#2", "key#3", ... with the later ones, so CSV and table cells
// stay single values. A record without a key leaves its cell empty.
//
// Formats.
//   summary: one line per record within 100 columns: ID, start (local date and time), duration
//          (h:mm:ss), caller, called, and for calls with media the codec (received, else sent)
//          and packet loss (lost of received and lost, in percent) of the first stream. Values
//          are escaped as in the table; when the line would pass 100 columns, the widest of
//          caller, called and codec are cut, ending in "…".
//   table: a header line and one line per record, columns two blanks apart, padded to the widest
//          cell (widths count UTF-8 characters of the cell as shown); line ends and tabs are
//          shown as \n, \r, \t, other control bytes, DEL and bytes that are not part of valid
//          UTF-8 as \xHH, C1 and bidirectional controls (U+0080 to U+009F, U+061C, U+200E,
//          U+200F, U+202A to U+202E, U+2066 to U+2069) as \uHHHH, and a backslash as \\, so each
//          record keeps one line and nothing in it acts on the terminal.
//   CSV and JSON add, right after the start time "ST", the key "start_iso": that time in ISO 8601
//          with the local offset (2026-12-05T21:30:00+01:00), empty when the start is unknown.
//   CSV:   RFC 4180: a header row, then one row per record, rows ending in CRLF; a field holding
//          a comma, a double quote, CR or LF is quoted, its double quotes doubled. Bytes are
//          written as the file holds them, except on a terminal, where values are escaped as in
//          the table.
//   JSON:  one object per record and line, keys in the record's order; every value is a string;
//          a repeated key gives one member whose value is the array of its values in order.
//          Strings are escaped per RFC 8259; valid UTF-8 passes as it is but for the controls
//          the table escapes, written \uHHHH; a byte that is not part of a valid UTF-8 sequence
//          is written as the lone surrogate U+DC00 + byte (\udcHH), which no valid text holds,
//          so every line is valid JSON and the file's bytes can be told back exactly.
//
// Memory. Records are taken from their source one at a time and never all held: JSON is written
// as the records are read; the summary, the table and CSV need every printed record's widths or
// keys before their first line, so they read the source twice, first for those, then to write.
#pragma once

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/record_filter.h"
#include "tools/record_source.h"

enum class RecordFormat { kSummary, kTable, kCsv, kJson };

// Writes the records of `source` that `filter` accepts, the first `limit` of them in source order
// (all when `limit` is 0), to `out` in `format`, and returns how many it wrote; prints nothing for
// none. The source is read to its end whatever the limit, so a damaged file is always reported.
// Throws what the source throws; JSON lines of records read before the fault may be written by
// then, the other formats write nothing before their first pass ends.
size_t ListRecords(RecordSource& source, const RecordFilter& filter, size_t limit,
                   RecordFormat format, FILE* out);
