// Whole-file reads and crash-safe whole-file writes, through Env::Current().
#pragma once

#include <stddef.h>
#include <sys/uio.h>

#include <stdexcept>
#include <string>

// A file operation that failed; what() names the operation, the path and the system's reason.
class FileError : public std::runtime_error {
  public:
    FileError(const std::string& operation, const std::string& path, int error);
    int error() const { return mError; }

  private:
    int mError;
};

// Reads the whole file at `path` into `*contents`. Returns false, with `*contents` empty, when the
// file does not exist; throws FileError when it exists but cannot be read.
bool ReadWholeFile(const std::string& path, std::string* contents);

// Replaces the file at `path` with `contents` so that a crash or power loss at any instant leaves
// either the whole old file or the whole new one: the text goes to "<path>.tmp" (created
// exclusively, never through a link), is synced, renamed over `path`, and the folder is synced.
// Missing parent folders are created. Throws FileError on failure; the old file is then intact.
void WriteFileAtomically(const std::string& path, const std::string& contents, int mode = 0644);
// The same for contents given as `count` pieces, written in order with as few calls as the
// system allows (writev).
void WriteFileAtomically(const std::string& path, const struct iovec* pieces, size_t count,
                         int mode = 0644);

// Creates `path` and its missing parents (like mkdir -p). Throws FileError on failure.
void MakeDirs(const std::string& path);

// The folder part of `path`: "a/b" for "a/b/c", "." for "c", "/" for "/c".
std::string DirName(const std::string& path);
