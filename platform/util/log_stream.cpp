#include "platform/util/log_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/thread_mutex.h"

namespace {

const char kLogFolder[] = "/tmp/logs";
const unsigned kMinBufferSize = 64;

}  // namespace

LogStream::LogStream(const char* name, bool append, bool levelTags, int maxBytes, int backups,
                     unsigned bufferSize, bool syncOnFlush)
    : mPath(std::string(kLogFolder) + "/" + (name != nullptr ? name : "")),
      mAppend(append),
      mLevelTags(levelTags),
      mMaxBytes(maxBytes > 0 ? maxBytes : 0),
      mBackups(backups > 0 ? backups : 0),
      mSyncOnFlush(syncOnFlush),
      mpLock(new ThreadMutex),
      mBufferSize(bufferSize > kMinBufferSize ? bufferSize : kMinBufferSize),
      mHeld(0),
      mFd(-1),
      mOpenedOnce(false),
      mFileSize(0) {
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
    if (mSyncOnFlush && mFd >= 0) Env::Current()->Fsync(mFd);
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

// Appends one chunk with one write where the system allows, rotating first when the chunk would
// take the file past the cap. A chunk that cannot be written (no file, full folder) is dropped.
void LogStream::WriteChunk(const char* data, unsigned long length) {
    if (!EnsureOpen()) return;
    long long grown = mFileSize + static_cast<long long>(length);
    if (mMaxBytes > 0 && mFileSize > 0 && grown > mMaxBytes) {
        Rotate();
        if (mFd < 0) return;
    }
    if (Env::Current()->WriteFully(mFd, data, length)) mFileSize += static_cast<long long>(length);
}

bool LogStream::EnsureOpen() {
    return mFd >= 0 || Open(!mOpenedOnce && !mAppend);
}

bool LogStream::Open(bool truncate) {
    Env* env = Env::Current();
    int flags = O_RDWR | O_APPEND | O_CREAT | (truncate ? O_TRUNC : 0);
    mFd = env->Open(mPath.c_str(), flags, 0644);
    if (mFd < 0 && errno == ENOENT) {
        try {
            MakeDirs(kLogFolder);
        } catch (const FileError&) {
            return false;
        }
        mFd = env->Open(mPath.c_str(), flags, 0644);
    }
    if (mFd < 0) return false;
    mOpenedOnce = true;
    mFileSize = truncate ? 0 : ExistingSize();
    return true;
}

// The size of the file just opened, counted by reading it through; only needed under a cap.
long long LogStream::ExistingSize() {
    if (mMaxBytes == 0) return 0;
    long long size = 0;
    char chunk[4096];
    for (;;) {
        ssize_t got = Env::Current()->Read(mFd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return size;
        size += got;
    }
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
    if (mFd < 0) return;
    Env::Current()->Close(mFd);
    mFd = -1;
}

std::string LogStream::BackupName(int number) const {
    return mPath + "." + std::to_string(number);
}
