// What the delivery agent needs to run a delivery command cleanly: a start with nothing of the
// recorder's inherited, the command's output captured within a fixed bound, and an end that
// leaves no process of the command behind, even one that left its process group or session.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Closes every descriptor of this process but standard input, output and error and `keep`, which
// becomes descriptor 3; standard input and output then read and write /dev/null. Returns 3, or
// -1 when `keep` could not be moved (it is then closed too). For a freshly forked process, which
// must not hold what its parent opened (locks, logs, queues).
int KeepOnlyDescriptor(int keep);

// Makes this process the reaper of its orphaned descendants, where the system allows it. False
// where it does not (EndDescendants then finds them through /proc alone).
bool BecomeSubreaper();

// The output of one command: its first and last kKeep bytes and how many it wrote in all. The
// middle is counted and dropped, so a command that writes without end costs no memory.
class CapturedOutput {
  public:
    static const size_t kKeep = 1024;

    void Append(const char* data, size_t size);
    unsigned long long total() const { return mTotal; }
    // The output as trace lines: the head, a line telling how many bytes were left out (if any),
    // the tail; each line cut to at most 200 bytes before escaping, controls escaped as by
    // EscapeControls. Empty when nothing was written.
    std::vector<std::string> Lines() const;

    // The same first and last bytes as `other`, whatever was left out between them.
    bool SameEnds(const CapturedOutput& other) const {
        return mHead == other.mHead && Tail() == other.Tail();
    }

  private:
    std::string Tail() const;

    std::string mHead;
    std::string mRing;  // the last kKeep bytes past the head, from mRingStart on, wrapped
    size_t mRingStart = 0;
    unsigned long long mTotal = 0;
};

// `text` with every terminal control escaped as \xHH, byte by byte: C0 bytes, DEL, C1 controls
// (raw, and U+0080..U+009F in UTF-8), the bidirectional controls in UTF-8 (which reorder what a
// terminal shows) and bytes that are not valid UTF-8. Other valid UTF-8 text passes unchanged.
std::string EscapeControls(const std::string& text);

// Runs `command` with `path` appended, without a shell, in a process group of its own: standard
// input from /dev/null, standard output and error into a pipe whose read end (non-blocking,
// closed on exec) goes to `*output`. `marker` ("NAME=value") is added to its environment so that
// its descendants can be found even after they left its group and session. The pid, or -1 with
// `*error` set.
pid_t SpawnCaptured(const std::vector<std::string>& command, const std::string& path,
                    const std::string& marker, int* output, int* error);

// Kills every process that descends from `leader` or carries `marker` in its environment
// (the group of `leader`, children of known descendants and of this process, whatever /proc names
// as theirs) and reaps those that are this process's children, until none is left (at most about
// a second). `leader` itself must have been reaped already or be reaped by the caller.
void EndDescendants(pid_t leader, const std::string& marker);
