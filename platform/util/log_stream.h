// A log file kept in the device's log folder "/tmp/logs/": text appended in whole lines, held in
// a buffer until flushed, capped in size with rotation to backup files.
#pragma once

#include <stdarg.h>

#include <string>

class ThreadMutex;

// Appends text to "/tmp/logs/<name>" (the folder is created when missing). All file access goes
// through Env::Current().
//
// Text is held in a buffer of `bufferSize` bytes and written out, in whole lines, when the
// buffer has no room left or on Flush(). The file is kept open with O_APPEND, so writes of other
// writers of the same file (a crash report from a signal handler) land between whole chunks.
//
// Size cap: before a write would take the file past `maxBytes`, the file is renamed to
// "<name>.1" (older backups move up to "<name>.<backups>", the oldest goes) and a new file is
// started; with `backups` 0 the file is simply started anew. `maxBytes` <= 0 means no cap. The
// cap counts what this stream wrote plus what the file held when it was opened.
//
// Failures: when the folder is full, missing or unwritable, the text is dropped and the stream
// tries again with later text. It never blocks the caller beyond the write itself, never throws
// and reports nothing (it is the sink of the reports).
//
// Thread safety: every operation may be called from any thread.
class LogStream {
  public:
    // `name`: the file name in "/tmp/logs/". `append`: keep what the file holds (false: empty it
    // when it is first opened). `levelTags`: lines the stream formats itself begin with their
    // level, as "[3] ". `maxBytes`, `backups`: the size cap above. `bufferSize`: the buffer's size
    // and the longest line the stream formats itself (at least 64). `syncOnFlush`: Flush() also
    // syncs the file to storage.
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

  private:
    void Add(const char* text, unsigned long length);
    void WriteHeld();
    void WriteChunk(const char* data, unsigned long length);
    bool EnsureOpen();
    bool Open(bool truncate);
    long long ExistingSize();
    void Rotate();
    void Close();
    std::string BackupName(int number) const;

    std::string mPath;
    bool mAppend;
    bool mLevelTags;
    long long mMaxBytes;
    int mBackups;
    bool mSyncOnFlush;
    ThreadMutex* mpLock;
    char* mpBuffer;     // held text
    char* mpFormatted;  // scratch for lines the stream formats
    unsigned long mBufferSize;
    unsigned long mHeld;
    int mFd;
    bool mOpenedOnce;
    long long mFileSize;
};
