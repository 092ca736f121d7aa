// Whole-file reads and crash-safe whole-file writes, through Env::Current(), and the rule for
// whose files, links and queues this process trusts.
#pragma once

#include <stddef.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

// A file operation that failed; what() names the operation, the path and the reason: the
// system's text for `error`, or the `reason` given.
class FileError : public std::runtime_error {
  public:
    FileError(const std::string& operation, const std::string& path, int error);
    FileError(const std::string& operation, const std::string& path, int error,
              const std::string& reason);
    int error() const { return mError; }

  private:
    int mError;
};

// Whether `owner` is root or `user` (by default this process's effective user): the only owners
// whose links a save follows, whose queues a sender posts into and whose log folder and file the
// trace log uses.
inline bool IsTrustedOwner(uid_t owner, uid_t user = geteuid()) {
    return owner == 0 || owner == user;
}

// The largest file ReadWholeFile accepts unless told otherwise.
constexpr size_t kMaxReadSize = 32u << 20;

// Reads the whole regular file at `path` into `*contents`. Returns false, with `*contents`
// empty, when the file does not exist. Throws FileError when it exists but cannot be read, when it
// is not a regular file (a FIFO, a device or a folder: the open never waits for a writer), and
// when it holds more than `maxSize` bytes (EFBIG).
bool ReadWholeFile(const std::string& path, std::string* contents, size_t maxSize = kMaxReadSize);

// A whole file's bytes in a block of memory of their own. A large block has its pages made present
// in one call, instead of page by page as the read first touches them, which costs more than the
// copy itself where page faults are dear (virtual machines, small cores).
class FileBytes {
  public:
    FileBytes() = default;
    ~FileBytes() { Clear(); }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    const char* data() const { return mpData; }
    char* data() { return mpData; }
    size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    // Makes room for `size` bytes, their values unspecified; what was held is dropped.
    void Allocate(size_t size);
    // Makes the size `size`, keeping the bytes held up to it; bytes added are unspecified.
    void Resize(size_t size);
    void Clear();
    void swap(FileBytes& other);

  private:
    char* mpData = nullptr;
    size_t mSize = 0, mCapacity = 0;
};

// As the ReadWholeFile above, into `*contents`.
bool ReadWholeFile(const std::string& path, FileBytes* contents, size_t maxSize = kMaxReadSize);

// Opens the regular file at `path` for reading through Env::Current(), for a caller that reads it
// piece by piece, whatever its size. Returns the descriptor, which the caller owns and closes, or
// -1 when the file does not exist. Throws FileError as ReadWholeFile does for a file that exists
// but cannot be opened or is not a regular file.
int OpenRegularFile(const std::string& path);

// Replaces the file at `path` with `contents` so that a crash or power loss at any instant leaves
// either the whole old file or the whole new one: the text goes to a temporary file beside the
// file replaced (created exclusively, never through a link), is synced, renamed over it, and the
// folder is synced. Missing parent folders are created.
// A symbolic link at `path` owned by root or by this process's user is followed (also a chain of
// them): the link stays and its target is replaced. A link owned by anybody else is replaced
// itself, so a planted link cannot redirect the write. The replaced file's mode and owner are
// kept; a new file gets `mode`. Throws FileError on failure; the old file is then intact.
void WriteFileAtomically(const std::string& path, const std::string& contents, int mode = 0640);
// The same for contents given as `count` pieces, written in order with as few calls as the
// system allows (writev).
void WriteFileAtomically(const std::string& path, const struct iovec* pieces, size_t count,
                         int mode = 0640);

// Syncs the folder at `dir`, so that the names created, renamed or removed in it last. Throws
// FileError when it cannot be opened or synced.
void SyncFolder(const std::string& dir);

// Moves the file at `path` aside as "<path>.bad", first moving an earlier "<path>.bad" to
// "<path>.bad.1" and that one to "<path>.bad.2", so the last three set-aside copies are kept.
// Returns false when there is no file at `path`; throws FileError when it cannot be moved.
bool SetFileAside(const std::string& path);

// Creates `path` and its missing parents (like mkdir -p). Throws FileError on failure.
void MakeDirs(const std::string& path);

// The folder part of `path`: "a/b" for "a/b/c", "." for "c", "/" for "/c".
std::string DirName(const std::string& path);
