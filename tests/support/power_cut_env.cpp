#include "support/power_cut_env.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <utility>

#include "platform/util/file_util.h"

namespace {

// `path` with repeated slashes made one and no trailing slash.
std::string Normalized(const char* path) {
    std::string out;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' && !out.empty() && out.back() == '/') continue;
        out += *c;
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace

PowerCutEnv::PowerCutEnv(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) mFolders.push_back(Normalized(folder.c_str()));
}

int PowerCutEnv::LastDurableChange(const std::string& path) const {
    const auto found = mLastDurableChange.find(Normalized(path.c_str()));
    return found == mLastDurableChange.end() ? 0 : found->second;
}

bool PowerCutEnv::Unsynced(const std::string& path) const {
    const std::string name = Normalized(path.c_str());
    const auto now = mNames.find(name);
    const auto durable = mDurableNames.find(name);
    if ((now == mNames.end()) != (durable == mDurableNames.end())) return true;
    if (now == mNames.end()) return false;
    return now->second != durable->second || !mFiles[now->second].pending.empty();
}

void PowerCutEnv::CutAfter(int step, Loss loss) {
    mCutStep = step;
    mLoss = loss;
    if (step <= mSteps) Freeze();
}

void PowerCutEnv::CutPower() {
    const std::map<std::string, Image> image = mFrozen ? mFrozenImage : CutImage();
    Env* env = target();
    for (const auto& entry : image) {
        const char* path = entry.first.c_str();
        if (!entry.second.present) {
            env->Unlink(path);
            continue;
        }
        const int fd = env->Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) throw FileError("restore", entry.first, errno);
        const bool written =
            env->WriteFully(fd, entry.second.data.data(), entry.second.data.size());
        env->Close(fd);
        if (!written) throw FileError("restore", entry.first, errno);
    }
}

bool PowerCutEnv::Watched(const std::string& path) const {
    return std::find(mFolders.begin(), mFolders.end(), DirName(path)) != mFolders.end();
}

std::string PowerCutEnv::ReadPath(const std::string& path, bool* present) {
    std::string data;
    const int fd = target()->Open(path.c_str(), O_RDONLY, 0);
    *present = fd >= 0;
    if (fd < 0) return data;
    char chunk[65536];
    for (ssize_t got; (got = target()->Read(fd, chunk, sizeof chunk)) > 0;)
        data.append(chunk, static_cast<size_t>(got));
    target()->Close(fd);
    return data;
}

void PowerCutEnv::Learn(const std::string& path) {
    if (!mKnown.insert(path).second) return;
    bool present;
    std::string data = ReadPath(path, &present);
    if (mFrozen) mFrozenImage[path] = {present, data};
    if (!present) return;
    mFiles.push_back({std::move(data), {}});
    mNames[path] = mDurableNames[path] = static_cast<int>(mFiles.size() - 1);
}

void PowerCutEnv::Step(const char* call, const std::string& path) {
    ++mSteps;
    mStepLog.push_back(std::string(call) + " " + path);
    if (mSteps == mCutStep) Freeze();
}

void PowerCutEnv::Freeze() {
    mFrozenImage = CutImage();
    mFrozen = true;
}

int PowerCutEnv::Open(const char* path, int flags, int mode) {
    const std::string name = Normalized(path);
    if ((flags & O_DIRECTORY) != 0) {
        const int fd = ScopedEnv::Open(path, flags, mode);
        if (fd >= 0 && std::find(mFolders.begin(), mFolders.end(), name) != mFolders.end())
            mFolderFds[fd] = name;
        return fd;
    }
    if (!Watched(name)) return ScopedEnv::Open(path, flags, mode);
    Learn(name);
    const int fd = ScopedEnv::Open(path, flags, mode);
    if (fd < 0) return fd;
    const auto found = mNames.find(name);
    if (found == mNames.end()) {
        mFiles.push_back(File());
        mFds[fd] = mNames[name] = static_cast<int>(mFiles.size() - 1);
        Step("create", name);
    } else {
        mFds[fd] = found->second;
        if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
            mFiles[found->second].pending.push_back({true, 0, std::string()});
            Step("truncate", name);
        }
    }
    mFdPaths[fd] = name;
    return fd;
}

void PowerCutEnv::AddPending(int fd, off_t offset, std::string bytes) {
    mFiles[mFds[fd]].pending.push_back({false, offset, std::move(bytes)});
    Step("write", mFdPaths[fd]);
}

ssize_t PowerCutEnv::Write(int fd, const void* data, size_t size) {
    const struct iovec piece = {const_cast<void*>(data), size};
    return Writev(fd, &piece, 1);
}

ssize_t PowerCutEnv::Writev(int fd, const struct iovec* pieces, int count) {
    if (mFds.count(fd) == 0) return ScopedEnv::Writev(fd, pieces, count);
    const off_t at = target()->Seek(fd, 0, SEEK_CUR);  // (no watched file is opened to append)
    const ssize_t written = ScopedEnv::Writev(fd, pieces, count);
    if (written <= 0) return written;
    std::string bytes;
    for (int i = 0; i < count && bytes.size() < static_cast<size_t>(written); ++i)
        bytes.append(static_cast<const char*>(pieces[i].iov_base),
                     std::min(pieces[i].iov_len, static_cast<size_t>(written) - bytes.size()));
    AddPending(fd, at, std::move(bytes));
    return written;
}

ssize_t PowerCutEnv::Pwrite(int fd, const void* data, size_t size, off_t offset) {
    const ssize_t written = ScopedEnv::Pwrite(fd, data, size, offset);
    if (written > 0 && mFds.count(fd) != 0)
        AddPending(fd, offset,
                   std::string(static_cast<const char*>(data), static_cast<size_t>(written)));
    return written;
}

// What is on storage is this environment's own account, so a sync of a watched file or folder
// never waits for the disk under the test.
int PowerCutEnv::Fsync(int fd) {
    return Sync(fd) ? 0 : ScopedEnv::Fsync(fd);
}

int PowerCutEnv::Fdatasync(int fd) {
    return Sync(fd) ? 0 : ScopedEnv::Fdatasync(fd);
}

bool PowerCutEnv::Sync(int fd) {
    const auto folder = mFolderFds.find(fd);
    if (folder != mFolderFds.end()) {
        SyncFolder(folder->second);
        return true;
    }
    const auto found = mFds.find(fd);
    if (found == mFds.end()) return false;
    File& file = mFiles[found->second];
    if (!file.pending.empty()) {
        for (const PendingWrite& write : file.pending)
            Apply(write, write.bytes.size(), &file.durable);
        file.pending.clear();
        for (const auto& name : mDurableNames)
            if (name.second == found->second) mLastDurableChange[name.first] = mSteps + 1;
    }
    Step("sync", mFdPaths[fd]);
    return true;
}

void PowerCutEnv::SyncFolder(const std::string& folder) {
    for (const std::string& path : mKnown) {
        if (DirName(path) != folder) continue;
        const auto now = mNames.find(path);
        const auto durable = mDurableNames.find(path);
        const bool present = now != mNames.end(), wasPresent = durable != mDurableNames.end();
        if (present == wasPresent && (!present || now->second == durable->second)) continue;
        if (present)
            mDurableNames[path] = now->second;
        else
            mDurableNames.erase(durable);
        mLastDurableChange[path] = mSteps + 1;
    }
    Step("sync folder", folder);
}

int PowerCutEnv::Close(int fd) {
    mFds.erase(fd);
    mFdPaths.erase(fd);
    mFolderFds.erase(fd);
    return ScopedEnv::Close(fd);
}

class PowerCutEnv::Window : public MappedWindow {
  public:
    Window(PowerCutEnv* env, int fd, off_t offset, std::unique_ptr<char[]> bytes, size_t size)
        : MappedWindow(bytes.get(), size, offset), mpEnv(env), mFd(fd), mBytes(std::move(bytes)) {}
    void Written(size_t at, size_t size) override {
        if (!mpEnv->PwriteFully(mFd, Data() + at, size, Offset() + static_cast<off_t>(at)))
            throw FileError("write", mpEnv->mFdPaths[mFd], errno);
    }

  private:
    PowerCutEnv* mpEnv;
    int mFd;
    std::unique_ptr<char[]> mBytes;
};

std::unique_ptr<MappedWindow> PowerCutEnv::Map(int fd, off_t offset, size_t size) {
    if (mFds.count(fd) == 0) return ScopedEnv::Map(fd, offset, size);
    std::unique_ptr<char[]> bytes(new char[size]());
    if (target()->Seek(fd, offset, SEEK_SET) < 0) return nullptr;
    for (size_t done = 0; done < size;) {
        const ssize_t got = target()->Read(fd, bytes.get() + done, size - done);
        if (got <= 0) break;  // past the end: zeros, as a mapping reads them
        done += static_cast<size_t>(got);
    }
    return std::unique_ptr<MappedWindow>(new Window(this, fd, offset, std::move(bytes), size));
}

int PowerCutEnv::Rename(const char* from, const char* to) {
    const std::string source = Normalized(from), destination = Normalized(to);
    if (!Watched(source) || !Watched(destination)) return ScopedEnv::Rename(from, to);
    Learn(source);
    Learn(destination);
    const int result = ScopedEnv::Rename(from, to);
    if (result != 0) return result;
    const auto found = mNames.find(source);
    if (found != mNames.end()) {
        mNames[destination] = found->second;
        mNames.erase(source);
    }
    Step("rename", source + " " + destination);
    return result;
}

int PowerCutEnv::Unlink(const char* path) {
    const std::string name = Normalized(path);
    if (!Watched(name)) return ScopedEnv::Unlink(path);
    Learn(name);
    const int result = ScopedEnv::Unlink(path);
    if (result != 0) return result;
    mNames.erase(name);
    Step("unlink", name);
    return result;
}

std::map<std::string, PowerCutEnv::Image> PowerCutEnv::CutImage() const {
    const std::map<std::string, int>& names = mLoss == kLoseUnsynced ? mDurableNames : mNames;
    std::map<std::string, Image> image;
    for (const std::string& path : mKnown) {
        const auto found = names.find(path);
        if (found == names.end()) {
            image[path] = {false, std::string()};
            continue;
        }
        const File& file = mFiles[found->second];
        image[path] = {true, mLoss == kLoseUnsynced ? file.durable : TornData(file)};
    }
    return image;
}

// The data on storage and the first half of the bytes written since, in write order.
std::string PowerCutEnv::TornData(const File& file) {
    size_t total = 0;
    for (const PendingWrite& write : file.pending) total += write.bytes.size();
    size_t budget = (total + 1) / 2;
    std::string data = file.durable;
    for (const PendingWrite& write : file.pending) {
        if (budget == 0) break;
        const size_t taken = std::min(budget, write.bytes.size());
        Apply(write, taken, &data);
        budget -= taken;
    }
    return data;
}

// Applies the first `most` bytes of `write` to `*data`.
void PowerCutEnv::Apply(const PendingWrite& write, size_t most, std::string* data) {
    if (write.truncate) {
        data->clear();
        return;
    }
    const size_t at = static_cast<size_t>(write.offset);
    const size_t size = std::min(most, write.bytes.size());
    if (data->size() < at + size) data->resize(at + size, '\0');
    data->replace(at, size, write.bytes, 0, size);
}
