#include "platform/download/outbox.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "platform/config/record_files.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

const char kPrefix[] = "stat-";
const char kSuffix[] = ".log";
const char kTemporarySuffix[] = ".log.tmp";
const size_t kStampLength = 16;  // yyyymmddThhmmssZ

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsDeliveryFile(const std::string& name) {
    return name.compare(0, sizeof kPrefix - 1, kPrefix) == 0 && EndsWith(name, kSuffix);
}

std::string UtcStamp() {
    struct timespec now;
    Env::Current()->Now(&now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char stamp[kStampLength + 1];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return stamp;
}

std::string MakeName(const std::string& stamp, unsigned long sequence) {
    char number[16];
    snprintf(number, sizeof number, "%06lu", sequence);
    return kPrefix + stamp + "-" + number + kSuffix;
}

}  // namespace

Outbox::Outbox(const std::string& directory) : mDirectory(directory) {}

std::vector<std::string> Outbox::Names() const {
    std::vector<std::string> names;
    if (Env::Current()->ListFolder(mDirectory.c_str(), &names) != 0 && errno != ENOENT)
        throw FileError("list outbox", mDirectory, errno);
    return names;
}

std::vector<OutboxFile> Outbox::Files() const {
    std::vector<OutboxFile> files;
    for (const std::string& name : Names()) {
        if (!IsDeliveryFile(name)) continue;
        const std::string path = mDirectory + name;
        struct stat status;
        if (Env::Current()->Stat(path.c_str(), &status) != 0) continue;  // delivered meanwhile
        files.push_back({name, path, static_cast<long long>(status.st_size), status.st_mtime});
    }
    std::sort(files.begin(), files.end(),
              [](const OutboxFile& a, const OutboxFile& b) { return a.name < b.name; });
    return files;
}

std::string Outbox::Add(const std::string& text, unsigned long long capBytes) {
    RemoveLeftovers();
    std::vector<OutboxFile> files = Files();
    MakeRoom(&files, text.size(), capBytes);
    const std::string path = mDirectory + NextName(files);
    WriteFileAtomically(path, text);
    return path;
}

// A name after the newest file's: this second's stamp with sequence 1, or, when the newest file
// has this stamp or a later one (a clock set back), the newest's stamp with the next sequence.
std::string Outbox::NextName(const std::vector<OutboxFile>& files) const {
    const std::string stamp = UtcStamp();
    if (files.empty()) return MakeName(stamp, 1);
    const std::string& newest = files.back().name;
    const std::string newestStamp = newest.substr(sizeof kPrefix - 1, kStampLength);
    if (stamp > newestStamp) return MakeName(stamp, 1);
    const size_t at = sizeof kPrefix - 1 + kStampLength + 1;
    const unsigned long sequence =
        at < newest.size() ? strtoul(newest.c_str() + at, nullptr, 10) : 0;
    return MakeName(newestStamp, sequence + 1);
}

void Outbox::MakeRoom(std::vector<OutboxFile>* files, unsigned long long needed,
                      unsigned long long capBytes) {
    unsigned long long total = needed;
    for (const OutboxFile& file : *files) total += static_cast<unsigned long long>(file.bytes);
    unsigned removed = 0;
    unsigned long records = 0;
    while (total > capBytes && !files->empty()) {
        const OutboxFile& oldest = files->front();
        try {
            records += CountRecords(oldest.path);
        } catch (const std::exception& e) {
            Warn("Download: cannot count the records of %s: %s.\n", oldest.path.c_str(), e.what());
        }
        if (Env::Current()->Unlink(oldest.path.c_str()) != 0 && errno != ENOENT)
            throw FileError("remove the oldest outbox file", oldest.path, errno);
        total -= static_cast<unsigned long long>(oldest.bytes);
        files->erase(files->begin());
        ++removed;
    }
    if (removed > 0)
        Warn(
            "Download: the outbox %s would exceed its %llu KiB: removed its %u oldest files, "
            "%lu records never delivered.\n",
            mDirectory.c_str(), capBytes / 1024, removed, records);
}

void Outbox::RemoveLeftovers() const {
    std::vector<std::string> names;
    Env::Current()->ListFolder(mDirectory.c_str(), &names);
    for (const std::string& name : names)
        if (name.compare(0, sizeof kPrefix - 1, kPrefix) == 0 && EndsWith(name, kTemporarySuffix))
            Env::Current()->Unlink((mDirectory + name).c_str());
}

unsigned CountRecords(const std::string& path) {
    return OpenDownloadLogFile(path.c_str(), true)->GetSectionCount();
}
