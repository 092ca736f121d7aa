// cdrctl's view of the statistics outbox: the files waiting for delivery, and a nudge that makes
// the delivery agent try again at once.
#pragma once

#include <stdio.h>

#include <string>

// The outbox that cdrctl works on: `folder` when not empty (a "/" is added when missing), else
// download_dir of the delivery settings under the configuration root. Throws what reading the
// settings throws.
std::string OutboxFolder(const std::string& folder);

// Prints one line per waiting file, oldest first (newest last): name, records, bytes and age,
// one line per file of the outbox's form that is not delivered (a link, another user's file)
// with the reason, then a total line. Returns 0; 1 with "cannot read the outbox <folder>: <reason>"
// on `err` when the folder cannot be listed (nothing else is printed) or some of its files cannot
// be read (their records, and the total's, are shown as "?").
int ListOutbox(const std::string& folder, FILE* out, FILE* err);

// Asks the delivery agent serving `folder` to attempt the oldest file now. Returns 0 when an
// agent was reached, 1 with a message on `err` when none listens.
int WakeOutbox(const std::string& folder, FILE* out, FILE* err);
