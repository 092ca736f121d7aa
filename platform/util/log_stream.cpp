#include "platform/util/log_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

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

}  // namespace

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
      mBackups(backups > 0 ? backups : 0),
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
      mNameCheckSecond(0) {
    mpBuffer = new char[mBufferSize];
    mpFormatted = new char[mBufferSize];
}

LogStream::~LogStream() {
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

// Holds `text` in the buffer, writing out first what is held when it does not fit; text as
// large as the buffer is written at once.
void LogStream::Add(const char* text, unsigned long length) {
    if (length > mBufferSize - mHeld) WriteHeld();
    if (length >= mBufferSize) {
        WriteChunk(text, length);
        return;
    }
    memcpy(mpBuffer + mHeld, text, length);
    mHeld += length;
}

void LogStream::WriteHeld() {
    if (mHeld == 0) return;
    WriteChunk(mpBuffer, mHeld);
    mHeld = 0;
}

// Appends one chunk with one write where the system allows, starting a new file first when the
// file was taken away or the chunk would take it past the cap. A chunk that cannot be written (no
// file, full folder) is dropped.
void LogStream::WriteChunk(const char* data, unsigned long length) {
    if (mFd >= 0 && !mToStandardError && WasReplaced()) Close();
    if (!EnsureOpen()) return;
    long long cap = Cap();
    long long grown = mFileSize + static_cast<long long>(length);
    if (!mToStandardError && cap > 0 && mFileSize > 0 && grown > cap) {
        Rotate();
        if (mFd < 0) return;
    }
    if (Env::Current()->WriteFully(mFd, data, length)) mFileSize += static_cast<long long>(length);
}

long long LogStream::Cap() const {
    if (mMaxBytes == 0 || mSizeLimit == 0) return mMaxBytes + mSizeLimit;
    return mMaxBytes < mSizeLimit ? mMaxBytes : mSizeLimit;
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
    return named.st_ino != mInode || named.st_dev != mDevice;
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

// Moves the file to the first backup (older backups move up, the oldest is overwritten) and
// starts a new file. Should a rename fail, the file is emptied all the same: the cap matters more
// than the old text.
void LogStream::Rotate() {
    Env* env = Env::Current();
    Close();
    if (mBackups == 0) {
        env->Unlink(mPath.c_str());
    } else {
        for (int number = mBackups - 1; number >= 1; --number)
            env->Rename(BackupName(number).c_str(), BackupName(number + 1).c_str());
        env->Rename(mPath.c_str(), BackupName(1).c_str());
    }
    Open(true);
}

void LogStream::Close() {
    if (mFd >= 0 && !mToStandardError) Env::Current()->Close(mFd);
    if (!mToStandardError) mFd = -1;
}

std::string LogStream::BackupName(int number) const {
    return mPath + "." + std::to_string(number);
}
