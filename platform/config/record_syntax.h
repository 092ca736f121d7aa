// The syntax of the sectioned record files, the databases and the download log: each record one
// section between a line "{" and a line "}", its entries key=value, "#" starting a comment; the
// download log heads each section with the word "section". Shared by the recorder, which writes
// them, the tools that read them, and the outbox, whose files hold download log records.
#pragma once

#include <memory>
#include <string>

#include "platform/config/multi_section_file.h"

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
