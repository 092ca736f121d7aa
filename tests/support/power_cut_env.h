// A file system that can lose power: for the files in the folders it watches it keeps what has
// reached storage (data made durable by fsync or fdatasync, names made durable by a sync of their
// folder) apart from what only the page cache holds, counts every step that changes either, and
// puts the folders back as a power cut after a chosen step would have left them.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/test_env.h"

class PowerCutEnv : public ScopedEnv {
  public:
    // What a cut keeps of what was not made durable.
    enum Loss {
        // Nothing: unsynced data and every create, rename and removal whose folder was not synced
        // since are gone, as strict POSIX allows.
        kLoseUnsynced,
        // Every name change stays (as a journaling file system may commit them), and of the data
        // not synced the first half of its bytes, in write order, reaches storage: the write in
        // the middle is torn.
        kTearUnsynced,
    };

    // Watches the files directly in `folders` (the program's paths, without a trailing '/'), as
    // they stand when it is installed: all of that is on storage. Files elsewhere are left alone.
    explicit PowerCutEnv(const std::vector<std::string>& folders);

    // Steps so far: each write, sync, create, rename and removal of a watched file.
    int Steps() const { return mSteps; }
    // "<call> <path>" of each step so far, in order.
    const std::vector<std::string>& StepLog() const { return mStepLog; }
    // The step after which the part of `path` that is on storage (its name or its data) last
    // changed; 0 when it did not since this was installed.
    int LastDurableChange(const std::string& path) const;

    // Whether `path` holds data or a name change that is not on storage yet.
    bool Unsynced(const std::string& path) const;

    // The power goes right after step `step` (from 1; 0: before any step), losing what `loss`
    // says; the program runs on unaware until CutPower.
    void CutAfter(int step, Loss loss);
    // Puts the watched files as the cut left them (at the chosen step, or now when it has not
    // come), as the next start finds them. Call once, when the program's writers are gone; the
    // environment is done then.
    void CutPower();

    int Open(const char* path, int flags, int mode) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    ssize_t Writev(int fd, const struct iovec* pieces, int count) override;
    ssize_t Pwrite(int fd, const void* data, size_t size, off_t offset) override;
    int Fsync(int fd) override;
    int Fdatasync(int fd) override;
    int Close(int fd) override;
    // A watched file's window is a private copy of its bytes: what is written into it becomes a
    // write of the file (a step, on storage once synced) when the writer tells it was written.
    std::unique_ptr<MappedWindow> Map(int fd, off_t offset, size_t size) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;

  private:
    class Window;

    // A write not yet on storage: `bytes` at `offset`, or a truncation to nothing.
    struct PendingWrite {
        bool truncate;
        off_t offset;
        std::string bytes;
    };
    struct File {
        std::string durable;  // the data on storage
        std::vector<PendingWrite> pending;
    };
    // What a path holds after a cut: present or not, and its data.
    struct Image {
        bool present;
        std::string data;
    };

    bool Watched(const std::string& path) const;
    // Starts following `path` with what it holds now, all of it on storage.
    void Learn(const std::string& path);
    void AddPending(int fd, off_t offset, std::string bytes);
    // Makes a watched file's data or a watched folder's names durable; false for other files.
    bool Sync(int fd);
    void SyncFolder(const std::string& folder);
    // Counts a step that changed the file system, once its effect is noted; the cut comes
    // here when it is due.
    void Step(const char* call, const std::string& path);
    void Freeze();
    // What storage would hold now, were the power cut.
    std::map<std::string, Image> CutImage() const;
    static std::string TornData(const File& file);
    static void Apply(const PendingWrite& write, size_t most, std::string* data);
    std::string ReadPath(const std::string& path, bool* present);

    std::vector<std::string> mFolders;
    std::vector<File> mFiles;                  // by number
    std::map<std::string, int> mNames;         // what the folders hold now: path -> file
    std::map<std::string, int> mDurableNames;  // what storage holds
    std::map<int, int> mFds;                   // open descriptor -> file
    std::map<int, std::string> mFolderFds;     // open descriptor -> watched folder
    std::set<std::string> mKnown;              // the paths followed
    std::map<int, std::string> mFdPaths;       // open descriptor -> the path it was opened as
    std::map<std::string, int> mLastDurableChange;
    std::vector<std::string> mStepLog;
    int mSteps = 0;
    int mCutStep = -1;
    Loss mLoss = kLoseUnsynced;
    bool mFrozen = false;
    std::map<std::string, Image> mFrozenImage;
};
