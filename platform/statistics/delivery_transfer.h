// One delivery attempt: the delivery command run on one outbox file, bounded in time, ended with
// every process it started, its output captured for the trace log.
#pragma once

#include <string>
#include <vector>

#include "platform/statistics/transfer_process.h"

// The result of one transfer.
struct TransferResult {
    bool delivered;         // exit status 0 in time
    bool stopped;           // the recorder ended meanwhile: the transfer was killed, nothing known
    std::string reason;     // why not delivered ("curl exited with status 7")
    CapturedOutput output;  // what the command wrote on its standard output and error
};

// Runs `command` with `path` appended, without a shell (see delivery_agent.h), waiting at most
// `timeoutSeconds`. `recorderFd` (-1: none) is the agent's end of the socket pair: when the
// recorder's end closes, the transfer is killed and the result says stopped. Every process the
// command started is killed before this returns, also those that left its process group or session;
// its output is captured (bounded, see CapturedOutput), never passed on to the agent's own streams.
TransferResult RunTransfer(const std::vector<std::string>& command, const std::string& path,
                           unsigned timeoutSeconds, int recorderFd);

// How a process of `program` ended, for a person: "curl exited with status 7", "... was killed
// by signal 9". `status` is as waitpid gives it.
std::string DescribeExit(const std::string& program, int status);
