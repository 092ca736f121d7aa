// The delivery agent: the process that hands outbox files to the collector, so that the recorder
// never waits for the network. The recorder only writes files into the outbox (Outbox::Add);
// the agent delivers them, oldest first, one at a time, with the delivery command.
//
// Process. The agent is a child forked from the recorder, without exec: it needs no program of
// its own to be found or installed, and it runs wherever the recorder runs (under an emulator
// too). It is started when a delivery command is set: by the recorder at start-up while
// automatic download is on, and by a download otherwise. A socket pair joins the two: the
// recorder writes a byte for each new file, and the agent ends, killing a transfer under way,
// when the recorder's end closes, which the kernel does whatever way the recorder ended. The
// agent never touches the databases or the download log and holds no lock; it reads the
// delivery settings afresh before each attempt, so a changed command or folder takes effect
// without a restart.
//
// Delivery. The command runs without a shell with the file's path appended, standard input from
// /dev/null, standard output and error into a pipe the agent drains, in a process group of its
// own. Exit status 0 within download_timeout seconds removes the file. Otherwise the file stays,
// and the next attempt waits 5 s, then twice as long after each further failure, at most
// download_retry_max seconds; a success starts the pauses afresh. Files left by an earlier run
// are delivered first, as the oldest. After each attempt every process the command started is
// killed, those that left its group or session too: the agent is their subreaper where the
// system allows it, and finds them through /proc (parents, and a mark in their environment) in
// any case. The output of a failed attempt goes to the trace log, its first and last KiB escaped,
// as lines starting "| "; output with the same ends as on the previous failed attempt only by its
// size. A file is never changed once in the outbox, so one delivered again (the agent ended after
// the transfer, before the removal) goes out under the same name with the same bytes.
//
// Trace. The agent appends its lines to the recorder's trace log itself, under the recorder's
// size limit (SetDeliveryTraceLimit) and with the same rotation to "cdr.log.1": both processes
// rotate the file under one lock (LogStream), whichever finds it full. Handing the lines to the
// recorder through the socket instead would lose them whenever the recorder is busy or gone,
// which is when they matter. The lines are stamped like the recorder's, with "[delivery] " after
// the stamp so that they are told apart:
//   "20:41:07.120  [delivery] agent 812 serves /mnt/bbram/calldata/outbox/\n"
//   "20:41:09.533  [delivery] delivered stat-desk-17-0000000042-20261205T204109Z.log, 10 records\n"
//   "20:41:12.004  [delivery] <WARNING> stat-...log not delivered: curl exited with status 7;
//    next attempt in 5 s\n"                                           (one line per failure)
//   "20:45:00.310  [delivery] agent 812 ends: the recorder has ended\n"
//
// Trust. Others may be able to write into the outbox (a pickup group), so the agent delivers
// only from a folder of root or its own user that others cannot write, and only the outbox's own
// files (Outbox::Files), the next one checked again through a descriptor opened without following
// a link (outbox_trust.h). A refused folder is warned about once, when it becomes refused, and
// looked at again every 5 s; each refused file is warned about once and left as it is.
//
// Retry now. The agent listens on the FIFO ".wake" in the outbox (Outbox::WakePath); a byte
// written there ("cdrctl outbox retry") makes it attempt the oldest file at once, whatever pause
// it is in. A FIFO that nobody reads refuses a non-blocking writer, so the writer learns that no
// agent runs. Anything else found at ".wake" (a regular file, a link, another user's FIFO) is
// replaced by a new FIFO, with a warning, at the agent's next look; without a FIFO the agent
// waits out its pauses.
#pragma once

// Recorder side. Starts the agent when a delivery command is set and none of this process runs
// (one that ended is replaced), and tells a running agent that the outbox changed. Never throws;
// problems are warned about, and the files then wait in the outbox.
void StartDeliveryAgent();
// Recorder side. Sets the trace log's size limit for the agent's lines to the recorder's own
// (`bytes`, 0: no limit of its own; until called 1 MiB). Kept in memory shared with the agents
// forked after the first call, so that a running agent follows a change. Never fails: should the
// shared memory be refused, an agent keeps the limit in force when it was started.
void SetDeliveryTraceLimit(unsigned long bytes);
// Closes the recorder's end and waits for the agent to end. The recorder does not need it (the
// agent notices its end by itself); tests use it to end an agent they started.
void StopDeliveryAgent();
