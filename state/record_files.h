// Where the recorder keeps its call records: shared by the recorder, which writes them, and by the
// tools that read them. Their syntax is in platform/config/record_syntax.h.
#pragma once

#include <string>

// The download log, mirrored from the databases while automatic statistics download is on.
extern const char kDownloadLogPath[];

// The database names used when general-paths.conf names none: index 0 the stated calls database
// ("CDR_db"), 1 the missed calls database, 2 the failed calls database.
extern const char* const kDefaultDatabaseNames[3];

// The path of the database called `name` under the configuration root `root`: a bare file name
// lands in "telephony/" under the root (appended with no separator added); a name holding a
// slash or a backslash anywhere is a path of its own.
std::string DatabasePath(const std::string& root, const std::string& name);
