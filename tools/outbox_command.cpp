#include "tools/outbox_command.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <exception>

#include "platform/statistics/download_settings.h"
#include "platform/statistics/outbox.h"
#include "platform/statistics/outbox_trust.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

std::string OutboxFolder(const std::string& folder) {
    if (folder.empty()) return ReadDownloadSettings(false).directory;
    return folder.back() == '/' ? folder : folder + "/";
}

int ListOutbox(const std::string& folder, FILE* out, FILE* err) {
    std::vector<OutboxFile> files;
    std::vector<RefusedFile> refused;
    try {
        files = Outbox(folder).Files(&refused);
    } catch (const FileError& e) {
        // Said as such, never as an empty outbox: a user who may not look cannot tell.
        fprintf(err, "cdrctl: cannot read the outbox %s: %s\n", folder.c_str(),
                strerror(e.error()));
        return 1;
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: cannot read the outbox %s: %s\n", folder.c_str(), e.what());
        return 1;
    }
    struct timespec now;
    Env::Current()->Now(&now);
    unsigned long records = 0, unreadable = 0;
    long long bytes = 0;
    for (const OutboxFile& file : files) {
        std::string count = "?";
        try {
            const unsigned held = CountRecords(file.path);
            count = std::to_string(held);
            records += held;
        } catch (const std::exception& e) {
            fprintf(err, "cdrctl: %s\n", e.what());
            ++unreadable;
        }
        bytes += file.bytes;
        // Ages come from the wall clock; one set back since the file was written counts the file
        // as new rather than of a negative age.
        const long long age =
            static_cast<long long>(now.tv_sec) - static_cast<long long>(file.modified);
        fprintf(out, "%s  %s records  %lld bytes  %lld s old\n", file.name.c_str(), count.c_str(),
                file.bytes, age > 0 ? age : 0);
    }
    for (const RefusedFile& file : refused)
        fprintf(out, "%s  not delivered: %s\n", file.name.c_str(), file.problem.c_str());
    const std::string total = unreadable == 0 ? std::to_string(records) : "?";
    fprintf(out, "%lu files, %s records, %lld bytes waiting in %s\n",
            static_cast<unsigned long>(files.size()), total.c_str(), bytes, folder.c_str());
    if (unreadable == 0) return 0;
    fprintf(err, "cdrctl: cannot read the outbox %s: %lu of its files unreadable\n", folder.c_str(),
            unreadable);
    return 1;
}

// The owner of the folder `folder`, under whom the recorder may run; root when it cannot be told.
uid_t FolderOwner(const std::string& folder) {
    struct stat status;
    return Env::Current()->Stat(folder.c_str(), &status) == 0 ? status.st_uid : 0;
}

int WakeOutbox(const std::string& folder, FILE* out, FILE* err) {
    const std::string path = Outbox(folder).WakePath();
    Env* env = Env::Current();
    std::string problem;
    const int fd = OpenWakeFifoToWrite(path, FolderOwner(folder), &problem);
    if (fd < 0) {
        fprintf(err,
                "cdrctl: cannot wake the delivery agent through %s: %s; nothing written (an "
                "agent listens there while the recorder runs with a download_cmd)\n",
                path.c_str(), problem.c_str());
        return 1;
    }
    // A full FIFO already holds a wake-up: the agent reads it on its next look.
    const bool sent = env->Write(fd, "w", 1) == 1 || errno == EAGAIN;
    const int error = errno;
    env->Close(fd);
    if (!sent) {
        fprintf(err, "cdrctl: cannot wake the delivery agent through %s: %s\n", path.c_str(),
                strerror(error));
        return 1;
    }
    fprintf(out, "delivery agent woken: it attempts the oldest file in %s now\n", folder.c_str());
    return 0;
}
