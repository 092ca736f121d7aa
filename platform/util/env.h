// The part of the operating system that tests substitute, behind one narrow interface: files,
// the wall clock, the boot clock, message-queue names, the configuration root and the host's name.
//
// Every file the program opens, reads, seeks in, writes, syncs, renames, removes or examines
// (FIFOs too), every folder it creates or lists, every time stamp it takes, every queue name it
// hands to the system, the configuration root it reads its settings from, the host's name and the
// memory size it plans with go through Env::Current(). The default is the plain POSIX
// environment; tests install a forwarding wrapper that points paths elsewhere, stops the clock,
// makes a chosen call fail or renames the queues.
//
// The POSIX environment shifts its two clocks when CDR_CLOCK_SHIFT names a file holding two
// signed numbers of seconds, "WALL BOOT": end-to-end tests of the shipped programs move the
// clocks that way, where no library can be preloaded (an emulator, a sanitizer). The file is
// looked at no more than once a second and read again when it changed; it counts only when it is
// a regular file owned by root or by the process's own user that neither group nor others may
// write (else one warning on standard error, and no shift), so that nobody else can steer the
// clocks. Without the variable the clocks are the system's.
//
// Deliberately not covered, and called directly where they are used:
// - processes and signals: starting the delivery agent, its delivery command and the restarted
//   program (fork, posix_spawnp, exec), waiting for and killing them, signal handlers, raise;
// - the message-queue system calls themselves (mq_open, mq_timedsend, mq_timedreceive,
//   mq_getattr, mq_unlink, and fstat/fchmod on a queue) and poll on the queues;
// - timeouts and pauses, which use the monotonic or real clock whatever Env's clock says (a test
//   that stops Env's clock must not stop a wait);
// - threads and mutexes, the system log socket, and what the process reads about itself
//   (/proc/self/cmdline, /proc/self/exe, its pid);
// - the crash guard's reports, written from a signal handler, and the trace log's copy on
//   standard error: both through Env::Posix() whatever is installed, so that a signal handler
//   never calls into a test's wrapper and a fault a test injects never reaches standard error.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

struct stat;

// A window of a file mapped into memory and shared with it: bytes written into the window are
// the file's at once (in the page cache, so that the end of the process, even by SIGKILL, loses
// none of them), and reach storage at the file's next Fdatasync or Fsync. The window is unmapped
// when this is destroyed; the descriptor stays open meanwhile.
class MappedWindow {
  public:
    virtual ~MappedWindow();
    MappedWindow(const MappedWindow&) = delete;
    MappedWindow& operator=(const MappedWindow&) = delete;

    char* Data() const { return mpData; }
    size_t Size() const { return mSize; }
    // Where the window starts in the file.
    off_t Offset() const { return mOffset; }
    // Tells that the `size` bytes at `at` in the window were written. A shared mapping needs
    // nothing; an environment that follows the file's writes counts them as one.
    virtual void Written(size_t at, size_t size);

  protected:
    MappedWindow(char* data, size_t size, off_t offset)
        : mpData(data), mSize(size), mOffset(offset) {}

  private:
    char* mpData;
    size_t mSize;
    off_t mOffset;
};

class Env {
  public:
    virtual ~Env();

    // The environment in use. Never null.
    static Env* Current();
    // Installs `env` (not owned; must outlive its use) and returns the one it replaces.
    // Null reinstalls the POSIX environment.
    static Env* SetCurrent(Env* env);
    // The plain POSIX environment; lives for the whole process.
    static Env* Posix();

    // Files, with the meaning and error convention of the POSIX calls of the same name:
    // -1 (or a negative count) with errno set on failure.
    virtual int Open(const char* path, int flags, int mode) = 0;
    virtual ssize_t Read(int fd, void* data, size_t size) = 0;
    virtual off_t Seek(int fd, off_t offset, int whence) = 0;
    virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
    virtual ssize_t Writev(int fd, const struct iovec* pieces, int count) = 0;
    virtual int Fsync(int fd) = 0;
    // Writes at `offset` without moving the file position (pwrite), and syncs a file's data
    // without the metadata that reading it back does not need (fdatasync).
    virtual ssize_t Pwrite(int fd, const void* data, size_t size, off_t offset) = 0;
    virtual int Fdatasync(int fd) = 0;
    // Lets the kernel drop the file's cached pages that are not dirty (a hint; nothing changes
    // in the file). Pages cached after a large read or write may be held in large blocks, each
    // of which a small write then dirties, and is accounted as written, whole.
    virtual void DropCleanPages(int fd) = 0;
    virtual int Close(int fd) = 0;
    // Maps `size` bytes of the file open for reading and writing as `fd`, from `offset` (a
    // multiple of the page size), for reading and writing (see MappedWindow). The bytes must lie
    // within the file: touching a page wholly past its end raises SIGBUS. Null with errno set on
    // failure.
    virtual std::unique_ptr<MappedWindow> Map(int fd, off_t offset, size_t size) = 0;
    virtual int Rename(const char* from, const char* to) = 0;
    virtual int Unlink(const char* path) = 0;
    virtual int MakeDir(const char* path, int mode) = 0;
    virtual int Fstat(int fd, struct stat* info) = 0;
    virtual int Lstat(const char* path, struct stat* info) = 0;
    virtual int Fchmod(int fd, mode_t mode) = 0;
    virtual int Fchown(int fd, uid_t owner, gid_t group) = 0;
    // The target of the symbolic link at `path` into `*target`; -1 with errno on failure.
    virtual int ReadLink(const char* path, std::string* target) = 0;
    virtual int Stat(const char* path, struct stat* out) = 0;
    virtual int MakeFifo(const char* path, int mode) = 0;
    // The names in the folder at `path`, "." and ".." left out, in no particular order. 0, or -1
    // with errno set when the folder cannot be read.
    virtual int ListFolder(const char* path, std::vector<std::string>* names) = 0;

    // Wall-clock time, and its breakdown in the local time zone. Shown to people and written in
    // files; never used to measure how long something took, since it may be set at any time.
    virtual void Now(struct timespec* now) = 0;
    virtual void LocalTime(time_t seconds, struct tm* out) = 0;
    // Time since the system booted, suspended time included (CLOCK_BOOTTIME): it never jumps,
    // so elapsed times that matter to people (how long deliveries have failed, how long since a
    // record was written) are measured with it. Its stamps mean something only within one boot
    // (see BootId).
    virtual void BootTime(struct timespec* now) = 0;

    // The operating-system name of the message queue the program calls `name` ("/ping-15").
    virtual std::string QueueName(const std::string& name) = 0;

    // The configuration root: the value of VELK_PATH when it is set (even empty), else
    // "/etc/velk-conf/". File names are appended to it with no separator added. Read afresh at
    // each call.
    virtual std::string ConfigurationRoot() = 0;

    // The host's name as the system gives it (uname's node name); empty when it has none.
    virtual std::string HostName() = 0;

    // The memory the system has (physical memory, as sysinfo reports it), in bytes, at most what
    // one process can address; 0 when it cannot be told.
    virtual unsigned long long MemorySize() = 0;

    // Writes all `size` bytes to `fd` through Write, retrying short writes and interruptions.
    // False on failure, with errno set (ENOSPC when the system wrote nothing and gave no reason).
    bool WriteFully(int fd, const void* data, size_t size);
    // The same for the bytes of `count` pieces, in order, through Writev (as many pieces per call
    // as the system takes).
    bool WriteFully(int fd, const struct iovec* pieces, size_t count);
    // Writes all `size` bytes at `offset` through Pwrite, retrying short writes and
    // interruptions. False on failure, with errno set (ENOSPC as WriteFully).
    bool PwriteFully(int fd, const void* data, size_t size, off_t offset);
};

// Forwards every call to another environment; derive from it to change one behaviour.
class ForwardingEnv : public Env {
  public:
    explicit ForwardingEnv(Env* target) : mpTarget(target) {}

    int Open(const char* path, int flags, int mode) override;
    ssize_t Read(int fd, void* data, size_t size) override;
    off_t Seek(int fd, off_t offset, int whence) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    ssize_t Writev(int fd, const struct iovec* pieces, int count) override;
    int Fsync(int fd) override;
    ssize_t Pwrite(int fd, const void* data, size_t size, off_t offset) override;
    int Fdatasync(int fd) override;
    void DropCleanPages(int fd) override;
    int Close(int fd) override;
    std::unique_ptr<MappedWindow> Map(int fd, off_t offset, size_t size) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int MakeDir(const char* path, int mode) override;
    int Fstat(int fd, struct stat* info) override;
    int Lstat(const char* path, struct stat* info) override;
    int Fchmod(int fd, mode_t mode) override;
    int Fchown(int fd, uid_t owner, gid_t group) override;
    int ReadLink(const char* path, std::string* target) override;
    int Stat(const char* path, struct stat* out) override;
    int MakeFifo(const char* path, int mode) override;
    int ListFolder(const char* path, std::vector<std::string>* names) override;
    void Now(struct timespec* now) override;
    void LocalTime(time_t seconds, struct tm* out) override;
    void BootTime(struct timespec* now) override;
    std::string QueueName(const std::string& name) override;
    std::string ConfigurationRoot() override;
    std::string HostName() override;

    unsigned long long MemorySize() override;

  protected:
    Env* target() const { return mpTarget; }

  private:
    Env* mpTarget;
};

// Milliseconds of the monotonic clock, which timeouts and pauses measure with (see above: not
// Env's clock).
long long MonotonicMillis();

// Milliseconds of Env::Current()'s boot clock.
long long BootMillis();

// Where the system tells the identity of the current boot.
extern const char kBootIdPath[];

// The identity of the current boot (kBootIdPath read through Env::Current(), blanks trimmed);
// empty when it cannot be read, and then no boot is taken for this one.
std::string BootId();
