// A log file kept in the device's log folder "/tmp/logs/": text appended in whole lines, held in
// a buffer until flushed, capped in size with rotation to backup files, and never written
// through a link or into a folder or file another user controls.
#pragma once

#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

class ThreadMutex;

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
// limit (1 MiB unless SetSizeLimit changes it). Before a write would take the file past the cap,
// the file is renamed to "<name>.1" (older backups move up to "<name>.<backups>", the oldest
// goes) and a new file is started; with `backups` 0 the file is simply started anew. The cap
// counts what this stream wrote plus the file's size when it was opened.
//
// When someone else removes or renames the file (a log rotation), the first write in the next
// second of the clock starts a new file under the name.
//
// Failures: when the folder is full, missing or unwritable, the text is dropped and the stream
// tries again with later text. It never blocks the caller beyond the write itself, never throws
// and reports nothing but the warning above (it is the sink of the reports).
//
// Thread safety: every operation may be called from any thread.
class LogStream {
  public:
    // `name`: the file name in "/tmp/logs/". `append`: keep what the file holds (false: empty it
    // when it is first opened). `levelTags`: lines the stream formats itself begin with their
    // level, as "[3] ". `maxBytes` (<= 0: none), `backups`: the size cap above. `bufferSize`: the
    // buffer's size and the longest line the stream formats itself (at least 64). `syncOnFlush`:
    // Flush() also syncs the file to storage.
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
    void Rotate();
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
    unsigned long mHeld;
    int mFd;
    bool mToStandardError;  // the file was refused: text goes to standard error
    bool mOpenedOnce;
    long long mFileSize;
    dev_t mDevice;  // identity of the open file, to notice its replacement
    ino_t mInode;
    time_t mNameCheckSecond;  // when the name was last looked up
};
