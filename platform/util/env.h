// The operating system behind one narrow interface: files, the clock and message-queue names.
//
// Every platform class reaches the OS through Env::Current(). The default is the plain POSIX
// environment; tests install a forwarding wrapper that points paths elsewhere, moves the clock,
// or makes a chosen call fail.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

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
    virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
    virtual int Fsync(int fd) = 0;
    virtual int Close(int fd) = 0;
    virtual int Rename(const char* from, const char* to) = 0;
    virtual int Unlink(const char* path) = 0;
    virtual int MakeDir(const char* path, int mode) = 0;
    // The status of `path` itself (a link is not followed), and of an open descriptor.
    virtual int LinkStat(const char* path, struct stat* out) = 0;
    virtual int FileStat(int fd, struct stat* out) = 0;

    // Wall-clock time, and its breakdown in the local time zone.
    virtual void Now(struct timespec* now) = 0;
    virtual void LocalTime(time_t seconds, struct tm* out) = 0;

    // The operating-system name of the message queue the program calls `name` ("/ping-15").
    virtual std::string QueueName(const std::string& name) = 0;
};

// Forwards every call to another environment; derive from it to change one behaviour.
class ForwardingEnv : public Env {
  public:
    explicit ForwardingEnv(Env* target) : mpTarget(target) {}

    int Open(const char* path, int flags, int mode) override;
    ssize_t Read(int fd, void* data, size_t size) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Fsync(int fd) override;
    int Close(int fd) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int MakeDir(const char* path, int mode) override;
    int LinkStat(const char* path, struct stat* out) override;
    int FileStat(int fd, struct stat* out) override;
    void Now(struct timespec* now) override;
    void LocalTime(time_t seconds, struct tm* out) override;
    std::string QueueName(const std::string& name) override;

  protected:
    Env* target() const { return mpTarget; }

  private:
    Env* mpTarget;
};
