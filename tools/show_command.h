// "cdrctl show": prints the records of a database or of the download log from the files the
// recorder keeps, the journal's records not yet in them first, or from one given file.
#pragma once

#include <stdio.h>

#include "tools/cdrctl_arguments.h"

// Prints the records `command` names (its records, format, filter, limit, root and file) on
// `out`, or "no records in <path>" for none in the formats for people. Returns 0; 1 with
// "cdrctl: <reason>" on `err` when the configuration root, the general paths or a record file
// cannot be read or a record file is malformed.
int ShowRecords(const CdrctlCommand& command, FILE* out, FILE* err);
