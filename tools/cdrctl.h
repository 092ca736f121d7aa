// cdrctl: speaks for the call manager and the web side on the command line. It posts call detail
// reports, control requests and connection announcements on the recorder's queues and prints the
// answers of the answered requests. It also prints the records the recorder stored, reading its
// files only, and tells whether a recorder runs and serves the queues.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "platform/messaging/wire_codec.h"
#include "tools/record_listing.h"

enum class CdrctlAction {
    kSend,    // post `message` (and await its answer when it has one)
    kShow,    // print stored records
    kStatus,  // report the recorder's queues
    kSpool,   // list the statistics outbox
    kRetry,   // wake the delivery agent
};

// One parsed command line.
struct CdrctlCommand {
    bool help = false;  // print the usage and send nothing
    CdrctlAction action = CdrctlAction::kSend;
    WireMessage message;       // what to send
    int repeat = 1;            // how often to send it ("add ... --repeat N")
    int timeoutMillis = 5000;  // how long a send waits for room, and an answer for its arrival

    // "show": which records ("stated", "missed", "failed" or "download"), how, and from where.
    std::string records;
    RecordFormat format = RecordFormat::kSummary;
    RecordFilter filter;  // --since, --until, --match
    std::string root;     // --root, ending in "/"; empty: the recorder's own configuration root
    std::string file;     // --file: this file instead of the one the records normally live in
    size_t limit = 0;     // --limit: at most this many records, newest first; 0: all

    // "spool": --dir, the outbox folder; empty: download_dir of the delivery settings.
    std::string outbox;
};

// Parses the arguments after the program name. Returns false, with a one-line reason in `*error`,
// on an unknown command or field, a bad number, address or count, or a text that may not travel.
bool ParseCdrctlArguments(const std::vector<std::string>& args, CdrctlCommand* command,
                          std::string* error);

// Runs cdrctl with the arguments after the program name, printing answers, records, the queue
// status, the outbox and the usage on `out` and problems on `err`. Returns the exit status: 0
// when posted (and answered, for the answered requests), when the records or the outbox were
// printed, when a recorder holds the instance lock and both its queues exist, or when the
// delivery agent was woken; 1 when the recorder's queue is missing, belongs to a stranger or
// stayed full past the timeout, or no answer came, when a record file or the outbox cannot be
// read or a record file is malformed, when no recorder runs (queues it left behind may remain) or
// a queue is missing, or when no delivery agent listens; 2 on a bad command line, in which case
// nothing was sent or read.
int RunCdrctl(const std::vector<std::string>& args, FILE* out, FILE* err);

// The usage text of `cdrctl --help`.
extern const char kCdrctlUsage[];
