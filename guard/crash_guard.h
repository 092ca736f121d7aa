// The process's crash guard: one signal handler for the stop signals (hang-up, interrupt, quit,
// terminate, terminal stop) and the fault signals (illegal instruction, abort, bus error,
// arithmetic fault, segmentation fault, stack fault). A stop signal leaves a one-line stop report
// with the time of day, a fault a backtrace report, an unhandled exception (Abort) a backtrace
// report and exit status 1. Reports are appended to a report file and, when enabled, sent to the
// system log. With automatic restart on, a pid file is written at construction and a fault starts
// a fresh copy of the program.
//
// All state is static and shared by the whole process; only the first guard constructed takes
// effect, and destroying any guard object releases the shared buffers.
//
// Work done inside the signal handler, and why it is safe there:
// - Text is formatted with snprintf into buffers allocated at construction. The formats used
//   (%s, %d, %02d, %p, %#tx) make glibc's printf family allocate nothing and take no lock.
// - The time of day comes from a table of the local zone's UTC offsets (LocalZone), never from
//   localtime: its zone lock would deadlock a handler that interrupted a time-stamp formatter.
//   The table is learnt at construction for the next few years, daylight-saving changes
//   included, and learnt again by the trace log when the clock leaves those years.
// - backtrace is called once at construction, so that the unwinder it loads on first use is in
//   place before any fault. Frame texts are built with dladdr1 into the layout backtrace_symbols
//   would give ("file(symbol+0xoff) [address]"), because backtrace_symbols allocates.
// - Should the unwinder give up by calling abort (it does on frames it cannot read, such as those
//   of a corrupted stack), the handler jumps back out of that abort and the report goes on with
//   the frames read so far, so the closing line, the user routine and the restart survive.
// - The system log is reached through a datagram socket on "/dev/log" with plain system calls
//   (records as openlog(appName, LOG_PID, LOG_USER) would send them), because glibc's syslog
//   allocates and reads the local time under its zone lock. A logger whose queue is full gets at
//   most a quarter of a second in all to make room; then records are dropped, so a stalled logger
//   never keeps the process from ending.
// - The report file is written with open/write/close (created with mode 0644), only into a folder
//   and a file that LogFolderFlaw and LogFileFlaw accept, never through a link and never waiting
//   on a FIFO; otherwise the file copy of the report is skipped.
// - A signal while no guard is in force (during construction, after destruction) writes no
//   report; the rest of the handling (user routine, re-raise, and a restart while the program
//   path is still known) proceeds.
// - Once the guard is spent, a later fault signal (illegal instruction, abort, bus error,
//   arithmetic fault, segmentation fault, stack fault) gets the default action back and is raised
//   again, so the process ends instead of returning to the faulting instruction. Later stop
//   signals are ignored by the guard.
// - mIsDone is set with an atomic exchange, so two threads faulting at once report only once.
#pragma once

#include <stddef.h>

#include <atomic>

class CrashGuard {
  public:
    // Called by the handler after its report: `crashed` is true for a fault signal and false for
    // a stop signal, `signal` is the signal's number, `data` what SetUserRoutine was given.
    using UserRoutine = void (*)(bool crashed, int signal, void* data);

    // Arms the guard: installs the handler for the eleven signals (saving the actions in force),
    // copies the texts, allocates the report buffers and, with `autoRestart`, writes the pid file
    // "/var/run/<last component of the program path>.pid" through Env::Current(). `logFile` null
    // means no report file; `appPath` null takes the program path of this process; `appName`
    // null takes the last component of the program path. Does nothing when a guard is in force.
    CrashGuard(const char* logFile, const char* appName, const char* appPath, bool syslogOn,
               bool autoRestart);
    // Releases the shared texts and buffers (whichever guard object they came from). The handler
    // stays installed and then writes no report.
    ~CrashGuard();
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;

    // The signal handler. The first signal it handles is reported, the user routine is called,
    // a fault restarts the program when automatic restart is on, and the signal is raised again
    // under the action that was in force before the guard.
    static void FuneralProc(int signal);

    // Builds a backtrace report of the calling thread: the banner (for `signalName` when given,
    // else for an unhandled exception with the optional `reason`), one line per frame and the
    // closing line. Sends it to the system log (one record per line) when enabled and appends it
    // to the report file, cut at 4095 characters. Writes nothing when no guard is in force.
    static void DumpStack(int signal, char* signalName, const char* reason);

    // Reports an unhandled exception with the optional `reason` and ends the process with exit
    // status 1 through exit(), so exit-time clean-up runs.
    [[noreturn]] static void Abort(const char* reason);

    // Whether a debugger is attached; this system never checks, so always false.
    static bool IsDebuggerOn();

    // Starts the program at `path` detached from this process (a new session whose parent has
    // already ended, standard output looped back to standard input, no standard error). `args`
    // (null or at most 255 characters) is split at every single space into arguments 1 to 15; a
    // text with more than 14 spaces leaves the rest, spaces included, in argument 15. Returns
    // false when the pipe or the first fork fails; an exec failure is not seen by the caller.
    // When `pid` is not null, stores there the id of the intermediate child plus one.
    static bool CreateProcess(const char* path, const char* args, unsigned long* pid);

    // Sets the routine the handler calls (null: none) and the data passed to it.
    static void SetUserRoutine(UserRoutine routine, void* data);

    // The size of the report buffer; longer reports are cut to one byte less.
    static constexpr size_t kReportSize = 4096;

  private:
    // Builds the one-line stop report for `signal` and sends it where reports go.
    static void ReportStop(int signal, const char* signalName);
    // Writes this process's start-up id to "/var/run/<last component of mpAppPath>.pid".
    static void WritePidFile();

    static char* mpLogFile;   // report file; null: none
    static char* mpAppName;   // name in reports and system-log identity
    static char* mpAppPath;   // program path: in reports, run by a restart, names the pid file
    static char* mpCmdLine;   // 256 bytes: the arguments a restart passes on
    static char* mpTraceBuf;  // 4096-byte report buffer; not null exactly while in force
    static int mSyslogOn;
    static int mAutoRestart;
    static std::atomic<int> mIsDone;  // set by the first handled signal
    static UserRoutine mpUserRoutine;
    static void* mpUserData;
};
