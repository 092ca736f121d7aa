#include "platform/util/log_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/system_log.h"
#include "platform/util/thread_mutex.h"

namespace {

const char kLogFolder[] = "/tmp/logs";
const unsigned kMinBufferSize = 64;
const long long kDefaultSizeLimit = 1024 * 1024;
// Never through a link, never kept across an exec, never waiting for a reader of a FIFO.
const int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
const int kLockTries = 20;  // 1 ms apart: a rotation under the lock takes far less
const unsigned kLockPauseMicros = 1000;

// flock(fd, LOCK_EX | LOCK_NB), tried again when interrupted; true when the lock was taken.
bool TryLockExclusive(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// The rotation lock: an exclusive flock on the log folder, held while this lives. The folder is
// never renamed by a rotation, so every writer of a log in it locks the same thing.
class RotationLock {
  public:
    RotationLock()
        : mFd(Env::Current()->Open(kLogFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0)),
          mHeld(false) {
        for (int attempt = 0; mFd >= 0 && !mHeld && attempt < kLockTries; ++attempt) {
            if (attempt > 0) usleep(kLockPauseMicros);
            mHeld = TryLockExclusive(mFd);
        }
    }
    ~RotationLock() {
        if (mFd >= 0) Env::Current()->Close(mFd);  // releases the lock
    }
    RotationLock(const RotationLock&) = delete;
    RotationLock& operator=(const RotationLock&) = delete;

    // Whether the lock was taken (false: the folder cannot be opened, or another writer kept it).
    bool Held() const { return mHeld; }

  private:
    int mFd;
    bool mHeld;
};

std::atomic<LogStream*> sLastWordStream{nullptr};

// Registered with pthread_atfork: the last-word stream's held text goes out before a fork.
void WriteHeldBeforeFork() {
    LogStream* stream = sLastWordStream.load(std::memory_order_acquire);
    if (stream != nullptr) stream->Flush();
}

}  // namespace

const char kTraceLogName[] = "cdr.log";

std::string TraceLogPath() {
    return std::string(kLogFolder) + "/" + kTraceLogName;
}

size_t WriteTraceStamp(char* line, size_t size) {
    struct timespec now;
    Env::Current()->Now(&now);
    struct tm local;
    Env::Current()->LocalTime(now.tv_sec, &local);
    size_t length = strftime(line, size, "%H:%M:%S.", &local);
    const int added = snprintf(line + length, size - length, "%03ld  ",
                               static_cast<long>(now.tv_nsec / 1000000L));
    if (added > 0) length += static_cast<size_t>(added);
    return length < size ? length : size - 1;
}

const char* LogFolderFlaw(const struct stat& folder, uid_t user) {
    if (S_ISLNK(folder.st_mode)) return "is a link";
    if (!S_ISDIR(folder.st_mode)) return "is not a folder";
    if (!IsTrustedOwner(folder.st_uid, user)) return "belongs to another user";
    if ((folder.st_mode & S_IWOTH) != 0 && (folder.st_mode & S_ISVTX) == 0)
        return "is writable by others";
    return nullptr;
}

const char* LogFileFlaw(const struct stat& file, uid_t user) {
    if (!S_ISREG(file.st_mode)) return "is not a regular file";
    if (file.st_nlink != 1) return "has more than one name";
    if (!IsTrustedOwner(file.st_uid, user)) return "belongs to another user";
    return nullptr;
}

LogStream::LogStream(const char* name, bool append, bool levelTags, int maxBytes, int backups,
                     unsigned bufferSize, bool syncOnFlush)
    : mPath(std::string(kLogFolder) + "/" + (name != nullptr ? name : "")),
      mAppend(append),
      mLevelTags(levelTags),
      mMaxBytes(maxBytes > 0 ? maxBytes : 0),
      mSizeLimit(kDefaultSizeLimit),
      mBackups(backups > 1 ? backups : 1),
      mSyncOnFlush(syncOnFlush),
      mpLock(new ThreadMutex),
      mBufferSize(bufferSize > kMinBufferSize ? bufferSize : kMinBufferSize),
      mHeld(0),
      mFd(-1),
      mToStandardError(false),
      mOpenedOnce(false),
      mFileSize(0),
      mDevice(0),
      mInode(0),
      mNameCheckSecond(0),
      mRotationFailedSecond(0),
      mRotationFailureTold(false) {
    mpBuffer = new char[mBufferSize];
    mpFormatted = new char[mBufferSize];
}

LogStream::~LogStream() {
    LogStream* self = this;
    sLastWordStream.compare_exchange_strong(self, nullptr);
    Flush();
    Close();
    delete[] mpFormatted;
    delete[] mpBuffer;
    delete mpLock;
}

void LogStream::TRACE(const char* text, unsigned char /*level*/, unsigned char flush) {
    ThreadMutexLock lock(mpLock);
    if (text != nullptr) Add(text, strlen(text));
    if (flush != 0) WriteHeld();
}

void LogStream::TRACE(unsigned char level, const char* fmt, va_list& args, unsigned char flush) {
    ThreadMutexLock lock(mpLock);
    int tag = mLevelTags ? snprintf(mpFormatted, mBufferSize, "[%u] ", level) : 0;
    int message = fmt != nullptr ? vsnprintf(mpFormatted + tag, mBufferSize - tag, fmt, args) : 0;
    if (message > 0) {
        unsigned long length = static_cast<unsigned long>(tag) + message;
        Add(mpFormatted, length < mBufferSize ? length : mBufferSize - 1);
    }
    if (flush != 0) WriteHeld();
}

void LogStream::Flush() {
    ThreadMutexLock lock(mpLock);
    WriteHeld();
    if (mSyncOnFlush && mFd >= 0 && !mToStandardError) Env::Current()->Fsync(mFd);
}

void LogStream::SetSizeLimit(unsigned long bytes) {
    ThreadMutexLock lock(mpLock);
    mSizeLimit = static_cast<long long>(bytes);
}

void LogStream::BecomeLastWordStream() {
    static const int registered = pthread_atfork(WriteHeldBeforeFork, nullptr, nullptr);
    (void)registered;  // without the handler a child only inherits text it never writes
    sLastWordStream.store(this, std::memory_order_release);
}

void LogStream::WriteHeldFromSignalHandler() {
    LogStream* stream = sLastWordStream.load(std::memory_order_acquire);
    if (stream == nullptr) return;
    const unsigned long held = stream->mHeld.exchange(0);
    const int fd = stream->mFd.load();
    if (held != 0 && fd >= 0) Env::Posix()->WriteFully(fd, stream->mpBuffer, held);
}

// Holds `text` in the buffer, writing out first what is held when it does not fit or when the
// text would take the file past its cap; text as large as the buffer is written at once.
void LogStream::Add(const char* text, unsigned long length) {
    unsigned long held = mHeld.load(std::memory_order_relaxed);
    // The held text counts as written: held lines go into the file the cap lets them into.
    if (length > mBufferSize - held || (!mToStandardError && WouldPassCap(length, held))) {
        WriteHeld();
        held = 0;
    }
    if (length >= mBufferSize) {
        WriteChunk(text, length);
        return;
    }
    memcpy(mpBuffer + held, text, length);
    mHeld.store(held + length, std::memory_order_release);
}

// The held length is taken before the write, so a signal handler that interrupts the write
// finds nothing held and never writes the text twice.
void LogStream::WriteHeld() {
    const unsigned long held = mHeld.exchange(0);
    if (held != 0) WriteChunk(mpBuffer, held);
}

// Appends one chunk with one write where the system allows, starting a new file first when the
// file was taken away or the chunk would take it past the cap. A chunk that cannot be written (no
// file, full folder) is dropped.
void LogStream::WriteChunk(const char* data, unsigned long length) {
    if (mFd >= 0 && !mToStandardError && WasReplaced()) Close();
    if (!EnsureOpen()) return;
    if (!mToStandardError && WouldPassCap(length)) {
        MakeRoom(length);
        if (mFd < 0) return;
    }
    if (Env::Current()->WriteFully(mFd, data, length)) mFileSize += static_cast<long long>(length);
}

long long LogStream::Cap() const {
    if (mMaxBytes == 0 || mSizeLimit == 0) return mMaxBytes + mSizeLimit;
    return mMaxBytes < mSizeLimit ? mMaxBytes : mSizeLimit;
}

bool LogStream::WouldPassCap(unsigned long length, unsigned long held) const {
    const long long cap = Cap();
    const long long before = mFileSize + static_cast<long long>(held);
    return cap > 0 && before > 0 && before + static_cast<long long>(length) > cap;
}

// Whether the open file no longer has the stream's name: removed, or renamed and perhaps
// replaced. Looked up by the first write in each second of the clock only: a system call per line
// would double the cost of tracing.
bool LogStream::WasReplaced() {
    Env* env = Env::Current();
    struct timespec now;
    env->Now(&now);
    if (now.tv_sec == mNameCheckSecond) return false;
    mNameCheckSecond = now.tv_sec;
    struct stat named;
    if (env->Lstat(mPath.c_str(), &named) != 0) return errno == ENOENT;
    if (named.st_ino != mInode || named.st_dev != mDevice) return true;
    if (named.st_size > mFileSize) mFileSize = named.st_size;  // other writers' lines count too
    return false;
}

bool LogStream::EnsureOpen() {
    return mFd >= 0 || Open(!mOpenedOnce && !mAppend);
}

bool LogStream::Open(bool truncate) {
    if (!PrepareFolder()) return mToStandardError;
    Env* env = Env::Current();
    mFd = env->Open(mPath.c_str(), kOpenFlags, 0644);
    if (mFd < 0) {
        if (errno == ELOOP) Refuse(mPath.c_str(), "is a link");
        if (errno == ENXIO) Refuse(mPath.c_str(), "is a FIFO");
        return mToStandardError;
    }
    struct stat status;
    const char* flaw =
        env->Fstat(mFd, &status) != 0 ? strerror(errno) : LogFileFlaw(status, geteuid());
    if (flaw != nullptr) {
        Close();
        Refuse(mPath.c_str(), flaw);
        return true;
    }
    // Emptied only once it is known to be the log's own file, never on the way to the check.
    if (truncate && ftruncate(mFd, 0) == 0) status.st_size = 0;
    mOpenedOnce = true;
    mFileSize = status.st_size;
    mDevice = status.st_dev;
    mInode = status.st_ino;
    struct timespec now;
    env->Now(&now);
    mNameCheckSecond = now.tv_sec;  // the name is fresh
    return true;
}

// Creates the log folder owner-only when missing; refuses one that another user controls. True
// when the file may be opened in it.
bool LogStream::PrepareFolder() {
    Env* env = Env::Current();
    struct stat folder;
    if (env->Lstat(kLogFolder, &folder) != 0) {
        if (errno != ENOENT) return false;
        try {
            MakeDirs(DirName(kLogFolder));
        } catch (const FileError&) {
            return false;
        }
        if (env->MakeDir(kLogFolder, 0700) != 0 && errno != EEXIST) return false;
        if (env->Lstat(kLogFolder, &folder) != 0) return false;
    }
    const char* flaw = LogFolderFlaw(folder, geteuid());
    if (flaw != nullptr) Refuse(kLogFolder, flaw);
    return flaw == nullptr;
}

// Turns the stream to standard error for good and says why, once, on standard error and in the
// system log.
void LogStream::Refuse(const char* what, const char* flaw) {
    mToStandardError = true;
    mFd = STDERR_FILENO;
    char warning[512];
    snprintf(warning, sizeof warning, "%s %s: not writing the log %s there, but to standard error",
             what, flaw, mPath.c_str());
    struct timespec now;
    Env::Current()->Now(&now);
    struct tm local;
    Env::Current()->LocalTime(now.tv_sec, &local);
    SystemLog log;
    log.Open(program_invocation_short_name, local);
    log.Send(LOG_WARNING, "%s", warning);
    dprintf(STDERR_FILENO, "%s\n", warning);
}

// Rotates the file under the rotation lock when it is still full once looked at there. Without
// the lock, or within the second of a failed rename, the chunk goes into the file as it is.
void LogStream::MakeRoom(unsigned long length) {
    struct timespec now;
    Env::Current()->Now(&now);
    if (mRotationFailedSecond != 0 && now.tv_sec == mRotationFailedSecond) return;
    RotationLock lock;
    if (!lock.Held() || !StillFull(length)) return;
    int error = Rotate();
    if (error != 0) RotationFailed(error, now.tv_sec);
}

// Under the lock: follows the name to a file another writer started, and reads the file's real
// size. True when the chunk would still take the file under the name past the cap.
bool LogStream::StillFull(unsigned long length) {
    Env* env = Env::Current();
    struct stat named;
    if (env->Lstat(mPath.c_str(), &named) != 0 || named.st_ino != mInode ||
        named.st_dev != mDevice) {
        Close();
        return Open(false) && !mToStandardError && mFd >= 0 && WouldPassCap(length);
    }
    struct stat own;
    if (env->Fstat(mFd, &own) == 0) mFileSize = own.st_size;
    return WouldPassCap(length);
}

// Moves the file to the first backup (older backups move up, the oldest is overwritten) and
// starts a new file. When the file cannot be renamed it stays open, to be written on past the cap,
// and the rename's error number is returned; 0 otherwise.
int LogStream::Rotate() {
    Env* env = Env::Current();
    for (int number = mBackups - 1; number >= 1; --number)
        env->Rename(BackupName(number).c_str(), BackupName(number + 1).c_str());
    if (env->Rename(mPath.c_str(), BackupName(1).c_str()) != 0) return errno;
    mRotationFailedSecond = 0;
    mRotationFailureTold = false;
    Close();
    Open(false);
    return 0;
}

// Notes the failed rename, and says so in the file itself once until a rename succeeds: the
// reader of the log learns why it grows past its limit.
void LogStream::RotationFailed(int error, time_t second) {
    mRotationFailedSecond = second;
    if (mRotationFailureTold) return;
    mRotationFailureTold = true;
    char line[512];
    size_t length = WriteTraceStamp(line, sizeof line);
    int added = snprintf(line + length, sizeof line - length,
                         "<WARNING> %s is not rotated: cannot rename it to %s (%s); lines go on "
                         "past its limit of %lld bytes\n",
                         mPath.c_str(), BackupName(1).c_str(), strerror(error), Cap());
    if (added <= 0) return;
    length = std::min(length + static_cast<size_t>(added), sizeof line - 1);
    if (Env::Current()->WriteFully(mFd, line, length)) mFileSize += static_cast<long long>(length);
}

void LogStream::Close() {
    if (mFd >= 0 && !mToStandardError) Env::Current()->Close(mFd);
    if (!mToStandardError) mFd = -1;
}

std::string LogStream::BackupName(int number) const {
    return mPath + "." + std::to_string(number);
}
