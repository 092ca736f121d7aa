// Printing what `cdrctl status` gathered and judged: one line per database, one for delivery, one
// for the recorder and one per problem for people, or one JSON object for machines.
#pragma once

#include <stdio.h>

#include "tools/status_view.h"

// Prints `view` for people on `out`.
void PrintStatusText(const StatusView& view, FILE* out);

// Prints `view` on `out` as one JSON object and a line end; times are seconds since the epoch,
// null for never.
void PrintStatusJson(const StatusView& view, FILE* out);
