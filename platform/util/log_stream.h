// A log file kept in the device's log folder "/tmp/logs/": text appended in whole lines, held in
// a buffer until flushed, capped in size with rotation to backup files, and never written
// through a link or into a folder or file another user controls.
#pragma once

#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <string>

class ThreadMutex;

// The cap and backups of the recorder's trace log, for every process that writes it: the largest
// cap the stream takes, so that the file's size is left to the size limit (SetSizeLimit), and one
// backup.
const int kTraceLogMaxBytes = 2147483647;
const int kTraceLogBackups = 1;
// The trace log's file name in the log folder, and its whole path (crash reports go there too).
extern const char kTraceLogName[];
std::string TraceLogPath();
// Writes the time stamp that starts each line of the trace log, now in local time
// ("20:41:07.120  ", two blanks after it), NUL-terminated into `line`, which holds `size` bytes.
// Returns its length, cut to what fits.
size_t WriteTraceStamp(char* line, size_t size);

// Why a folder whose own status (not following links) is `folder` must not hold this process's
// logs, or null when it may: it must be a real folder owned by root or by `user`, and not
// writable by others unless sticky. Safe in a signal handler.
const char* LogFolderFlaw(const struct stat& folder, uid_t user);
// Why an opened log file with status `file` must not be written, or null when it may: it must be
// a regular file with one name, owned by root or by `user`. Safe in a signal handler.
const char* LogFileFlaw(const struct stat& file, uid_t user);

// Appends text to "/tmp/logs/<name>". All file access goes through Env::Current().
//
// Text is held in a buffer of `bufferSize` bytes and written out, in whole lines, when the
// buffer has no room left or on Flush(). The file is kept open with O_APPEND, so writes of other
// writers of the same file (a crash report from a signal handler) land between whole chunks.
//
// The folder is created owner-only (0700) when missing. The file is opened only when the folder
// and the file pass LogFolderFlaw and LogFileFlaw, never through a link and never waiting on a
// FIFO. When they do not, the stream writes to standard error from then on and sends one warning
// naming the reason to the system log (without ever waiting for the logger).
//
// Size cap: the folder is a small RAM disk, so the cap is the smaller of `maxBytes` and the size
// limit (1 MiB unless SetSizeLimit changes it). The cap counts the file's size when it was opened
// plus what this stream wrote, brought up to the file's real size once a second, so that lines of
// other processes writing the same file count too.
//
// Rotation. Before a write would take the file past the cap, the file is renamed to "<name>.1"
// (older backups move up to "<name>.<backups>", the oldest goes) and a new file is started. A
// file may have several writers (the recorder and its delivery agent both write cdr.log), so
// every writer rotates under one lock: an exclusive flock on the log folder, which no rotation
// moves. Under the lock the stream first looks again: when the name no longer names its file (a
// writer rotated it a moment ago) it opens the new file and rotates that only if it is full too;
// when the file is under the cap after all, it writes on. So a file is rotated once, by whichever
// writer finds it full, and no writer pushes another's fresh file over the backups. While
// another writer holds the lock for more than 20 ms the text is written without rotating and the
// next write tries again.
//
// Nothing here removes or empties a file to keep the cap: a capped stream keeps at least one
// backup. When the rename to "<name>.1" fails (a folder holds that name, say), the file is kept
// and written on past the cap, with one warning line in it naming the reason; the rename is tried
// again in each later second. The lines are worth more than the cap: should the folder fill up,
// only new text is dropped, as on any full folder.
//
// When someone else removes or renames the file (a log rotation), the first write in the next
// second of the clock starts a new file under the name.
//
// Held text counts towards the cap: text that would take the held text past it makes the stream
// write out what it holds first, so the file is rotated between the same lines as when every
// line is flushed at once.
//
// Failures: when the folder is full, missing or unwritable, the text is dropped and the stream
// tries again with later text. It never blocks the caller beyond the write itself and at most
// 20 ms for the rotation lock, never throws, and reports nothing but the warnings above (it is
// the sink of the reports).
//
// Thread safety: every operation may be called from any thread.
class LogStream {
  public:
    // `name`: the file name in "/tmp/logs/". `append`: keep what the file holds (false: empty it
    // when it is first opened). `levelTags`: lines the stream formats itself begin with their
    // level, as "[3] ". `maxBytes` (<= 0: none), `backups` (raised to 1): the size cap above.
    // `bufferSize`: the buffer's size and the longest line the stream formats itself (at least 64).
    // `syncOnFlush`: Flush() also syncs the file to storage.
    LogStream(const char* name, bool append, bool levelTags, int maxBytes, int backups,
              unsigned bufferSize, bool syncOnFlush);
    // Flushes, then closes the file.
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Adds finished `text` (NUL-terminated; null adds nothing) as it is. `level` is the line's
    // importance (0 error, 1 warning, 3 trace); finished text carries its own marks, so it is not
    // tagged. `flush` non-zero flushes after adding.
    void TRACE(const char* text, unsigned char level, unsigned char flush);
    // Formats printf `fmt` (null: nothing) with `args` and adds the result, cut to the buffer's
    // size, tagged with `level` when level tags are on. `flush` as above.
    void TRACE(unsigned char level, const char* fmt, va_list& args, unsigned char flush)
        __attribute__((format(printf, 3, 0)));
    // Writes the held text to the file.
    void Flush();
    // Sets the size limit that caps the file along with `maxBytes`; 0 leaves only `maxBytes`.
    void SetSizeLimit(unsigned long bytes);
    // Whether text is held, not yet written. May be called from any thread without waiting.
    bool HasHeld() const { return mHeld.load(std::memory_order_relaxed) != 0; }

    // Makes this the process's last-word stream (replacing any earlier one, until destroyed): its
    // held text is written out before the process forks, so that a child never inherits it and
    // the child's own lines never overtake it, and by WriteHeldFromSignalHandler.
    void BecomeLastWordStream();
    // Writes the text the last-word stream holds to its open file, if any, with plain system
    // calls: no lock, no allocation, so that a signal handler may call it before the process
    // ends. Text the interrupted thread had handed to a write of its own is not written again.
    static void WriteHeldFromSignalHandler();

  private:
    void Add(const char* text, unsigned long length);
    void WriteHeld();
    void WriteChunk(const char* data, unsigned long length);
    bool EnsureOpen();
    bool Open(bool truncate);
    bool PrepareFolder();
    void Refuse(const char* what, const char* flaw);
    bool WasReplaced();
    long long Cap() const;
    // Whether `length` bytes written after `held` more bytes would take the file past its cap.
    bool WouldPassCap(unsigned long length, unsigned long held = 0) const;
    void MakeRoom(unsigned long length);
    bool StillFull(unsigned long length);
    int Rotate();
    void RotationFailed(int error, time_t second);
    void Close();
    std::string BackupName(int number) const;

    std::string mPath;
    bool mAppend;
    bool mLevelTags;
    long long mMaxBytes;
    long long mSizeLimit;
    int mBackups;
    bool mSyncOnFlush;
    ThreadMutex* mpLock;
    char* mpBuffer;     // held text
    char* mpFormatted;  // scratch for lines the stream formats
    unsigned long mBufferSize;
    std::atomic<unsigned long> mHeld;  // read by signal handlers and other threads
    std::atomic<int> mFd;              // read by signal handlers
    bool mToStandardError;             // the file was refused: text goes to standard error
    bool mOpenedOnce;
    long long mFileSize;
    dev_t mDevice;  // identity of the open file, to notice its replacement
    ino_t mInode;
    time_t mNameCheckSecond;       // when the name was last looked up
    time_t mRotationFailedSecond;  // when a rename to the first backup last failed; 0: it did not
    bool mRotationFailureTold;     // the warning line for the failing rename is in the file
};
