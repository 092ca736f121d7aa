// What the benchmark programs share: a file system root of their own, the reports they post, and
// readings of the process's own clock, resident memory and bytes written.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/messaging/call_detail_report.h"
#include "platform/util/env.h"

// Installed for its lifetime as Env::Current(): every absolute path lands under `root` (none when
// `root` is empty), and queue names get a suffix unique to this process, so a recorder the
// benchmark builds in process never meets a running one.
class RootEnv : public ForwardingEnv {
  public:
    explicit RootEnv(const std::string& root);
    ~RootEnv() override;

    // Where the program's absolute `path` really is.
    std::string Real(const char* path) const;

    int Open(const char* path, int flags, int mode) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int MakeDir(const char* path, int mode) override;
    int Lstat(const char* path, struct stat* out) override;
    std::string QueueName(const std::string& name) override;

  private:
    std::string mRoot;
    Env* mpPrevious;
};

// One call as the benchmarks post it, with its record type (1, 2 or 4).
struct BenchReport {
    int type;
    CallDetailReport report;
    bool hasStatistics;
    CallStatistics statistics;
};

// `count` reports shaped like a busy device's: answered calls with two media streams, missed
// and failed calls without, texts and numbers varying from one report to the next. The record
// types go round 1, 2, 4. Report `i` is the same on every call.
std::vector<BenchReport> MakeReports(unsigned count);

// Seconds on the monotonic clock.
double MonotonicSeconds();
// The process's resident set in bytes (from /proc/self/statm).
uint64_t ResidentBytes();
// Bytes this process handed to write(2) and its kin so far ("wchar" of /proc/self/io).
uint64_t BytesWritten();
// Bytes process `pid` (0: this process) sent towards storage so far ("write_bytes" of
// /proc/<pid>/io: counted when a page of a file becomes dirty, so nothing for tmpfs, and a page
// dirtied again before it was written back counts once). False when the kernel does not say.
bool StorageBytesWritten(int pid, uint64_t* bytes);
// The size of the file at `path`, 0 when absent.
uint64_t FileSize(const std::string& path);

// Writes `text` to `path`, creating the folders on the way; exits with a message on failure.
void WriteTextFile(const std::string& path, const std::string& text);

// Writes the recorder's general settings under the current root: recording on, every database
// holding `records`, saved every `save` records; the journal synced at least every
// `journalSyncReports` reports when not 0 (else at its default).
void WriteRecorderSettings(unsigned records, unsigned save, unsigned journalSyncReports = 0);
