// cdrctl: speaks for the call manager and the web side on the command line. It posts call detail
// reports, control requests and connection announcements on the recorder's queues and prints the
// answers of the answered requests.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "platform/wire_codec.h"

// One parsed command line.
struct CdrctlCommand {
    bool help = false;         // print the usage and send nothing
    WireMessage message;       // what to send
    int repeat = 1;            // how often to send it ("add ... --repeat N")
    int timeoutMillis = 5000;  // how long a send waits for room, and an answer for its arrival
};

// Parses the arguments after the program name. Returns false, with a one-line reason in `*error`,
// on an unknown command or field, a bad number, address or count, or a text that may not travel.
bool ParseCdrctlArguments(const std::vector<std::string>& args, CdrctlCommand* command,
                          std::string* error);

// Runs cdrctl with the arguments after the program name, printing answers and the usage on `out`
// and problems on `err`. Returns the exit status: 0 when posted (and answered, for the answered
// requests), 1 when the recorder's queue is missing or stayed full past the timeout or no answer
// came, 2 on a bad command line, in which case nothing was sent.
int RunCdrctl(const std::vector<std::string>& args, FILE* out, FILE* err);

// The usage text of `cdrctl --help`.
extern const char kCdrctlUsage[];
