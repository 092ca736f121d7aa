// Where the recorder keeps its call records and in which text form: shared by the recorder, which
// writes them, and by the tools that read them.
#pragma once

#include <memory>
#include <string>

#include "platform/config/multi_section_file.h"

// The download log, mirrored from the databases while automatic statistics download is on.
extern const char kDownloadLogPath[];

// The database names used when general-paths.conf names none: index 0 the stated calls database
// ("CDR_db"), 1 the missed calls database, 2 the failed calls database.
extern const char* const kDefaultDatabaseNames[3];

// The path of the database called `name` under the configuration root `root`: a bare file name
// lands in "telephony/" under the root (appended with no separator added); a name holding a
// slash or a backslash anywhere is a path of its own.
std::string DatabasePath(const std::string& root, const std::string& name);

// The line that closes each section of the record files ("}"). The text up to the end of such a
// line holds whole sections, so it parses on its own: readers may take a large file in pieces
// cut there.
extern const char kRecordCloseLine[];

// An empty in-memory holder of sections in the syntax of the databases (`downloadLog` false) or of
// the download log (true), for text read piece by piece (Parse). The caller owns the result.
std::unique_ptr<Configuration::MultiSectionConfigFile> NewRecordText(bool downloadLog);

// Opens a database file: sections without a section word. An absent file gives an empty
// database. `readOnly` true refuses Save. Throws as the MultiSectionFile constructor does
// (FileError, ParseError naming the path and line). The caller owns the result.
std::unique_ptr<Configuration::MultiSectionFile> OpenDatabaseFile(const char* path, bool readOnly);

// Opens the download log at `path`: sections headed by the word "section". Otherwise as
// OpenDatabaseFile.
std::unique_ptr<Configuration::MultiSectionFile> OpenDownloadLogFile(const char* path,
                                                                     bool readOnly);

// Adds the record whose text is `text` (one section, exactly as a database, or the download log
// when `downloadLog`, holds it) before the other records of `file`, which must have that file's
// syntax. Throws ParseError, leaving `file` as it was, when `text` is not one such record.
void AddRecordText(const std::string& text, bool downloadLog,
                   Configuration::MultiSectionConfigFile* file);
