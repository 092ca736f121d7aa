// cdrctl's command line read into one command: what to send, show, report or nudge, and how.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "platform/messaging/wire_codec.h"
#include "tools/record_listing.h"

enum class CdrctlAction {
    kSend,    // post `message` (and await its answer when it has one)
    kShow,    // print stored records
    kStatus,  // report the recorder's health
    kOutbox,  // list the statistics outbox
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
    RecordFormat format = RecordFormat::kSummary;  // "status" too: kJson for --json
    RecordFilter filter;                           // --since, --until, --match
    std::string root;  // --root, ending in "/"; empty: the recorder's own configuration root
    std::string file;  // --file: this file instead of the one the records normally live in
    size_t limit = 0;  // --limit: at most this many records, newest first; 0: all

    // "outbox": --dir, the outbox folder; empty: download_dir of the delivery settings.
    std::string outbox;
};

// Parses the arguments after the program name. Returns false, with a one-line reason in `*error`,
// on an unknown command or field, a bad number, address or count, or a text that may not travel.
bool ParseCdrctlArguments(const std::vector<std::string>& args, CdrctlCommand* command,
                          std::string* error);
