#include "platform/statistics/outbox.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "platform/config/configuration_root.h"
#include "platform/config/record_syntax.h"
#include "platform/statistics/outbox_trust.h"
#include "platform/util/decimal.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

const char kPrefix[] = "stat-";
const char kSuffix[] = ".log";
const char kStagedPrefix[] = ".stage-";
const char kTemporarySuffix[] = ".log.tmp";
const size_t kStampLength = 16;  // yyyymmddThhmmssZ
const size_t kSequenceDigits = 10;
const unsigned long long kLastSequence = 9999999999ULL;
const size_t kMostDeviceLength = 64;

bool StartsWith(const std::string& text, const char* start) {
    return text.compare(0, strlen(start), start) == 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsDeliveryFile(const std::string& name) {
    return StartsWith(name, kPrefix) && EndsWith(name, kSuffix);
}

// True when `count` characters of `text` from `at` match `pattern`, where '9' stands for any
// digit and every other character for itself.
bool Matches(const std::string& text, size_t at, const char* pattern) {
    const size_t count = strlen(pattern);
    if (at + count > text.size()) return false;
    for (size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (pattern[i] == '9' ? !isdigit(static_cast<unsigned char>(c)) : c != pattern[i])
            return false;
    }
    return true;
}

bool IsDeviceCharacter(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

// The sequence in a name of this outbox's own form ("stat-<device>-<sequence>-<stamp>.log", the
// device as DeviceName makes it), or false for any other name. Read from the end: the device
// part may hold '-' and digits.
bool ParseSequence(const std::string& name, unsigned long long* sequence) {
    const size_t fixed = sizeof kPrefix - 1 + 1 + kSequenceDigits + 1 + kStampLength;
    if (!IsDeliveryFile(name) || name.size() < fixed + 1 + sizeof kSuffix - 1) return false;
    const size_t stampAt = name.size() - (sizeof kSuffix - 1) - kStampLength;
    const size_t sequenceAt = stampAt - 1 - kSequenceDigits;
    if (!Matches(name, stampAt - 1, "-99999999T999999Z") ||
        !Matches(name, sequenceAt - 1, "-9999999999"))
        return false;
    const size_t deviceAt = sizeof kPrefix - 1;
    const size_t deviceLength = sequenceAt - 1 - deviceAt;
    if (deviceLength > kMostDeviceLength ||
        !std::all_of(name.begin() + deviceAt, name.begin() + deviceAt + deviceLength,
                     IsDeviceCharacter))
        return false;
    *sequence = strtoull(name.c_str() + sequenceAt, nullptr, 10);
    return true;
}

// The highest sequence among `names` of this outbox's form; 0 when there is none.
unsigned long long HighestSequence(const std::vector<std::string>& names) {
    unsigned long long highest = 0;
    for (const std::string& name : names) {
        unsigned long long sequence = 0;
        if (ParseSequence(name, &sequence)) highest = std::max(highest, sequence);
    }
    return highest;
}

// The last sequence given, as the sequence file holds it: 0 when the file is missing or
// unreadable (with a warning line for the latter).
unsigned long long StoredSequence(const std::string& path) {
    std::string text;
    try {
        if (!ReadWholeFile(path, &text, 64)) return 0;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        long long value = 0;
        if (ParseDecimal(text, 0, static_cast<long long>(kLastSequence), &value))
            return static_cast<unsigned long long>(value);
        Warn(
            "Download: the outbox sequence %s holds \"%.20s\", not a number; names go on "
            "after the highest in the outbox.\n",
            path.c_str(), text.c_str());
    } catch (const FileError& e) {
        Warn(
            "Download: the outbox sequence cannot be read (%s); names go on after the highest "
            "in the outbox.\n",
            e.what());
    }
    return 0;
}

// Gives the sequence after the last one given: after the larger of the stored one and the
// highest among `names`, and stores it before it is used. Throws FileError when it cannot be
// stored, and when the sequence is used up.
unsigned long long NextSequence(const std::vector<std::string>& names) {
    const std::string path = OutboxSequencePath();
    const unsigned long long last = std::max(StoredSequence(path), HighestSequence(names));
    if (last >= kLastSequence) throw FileError("advance the outbox sequence", path, EOVERFLOW);
    WriteFileAtomically(path, std::to_string(last + 1) + "\n");
    return last + 1;
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

std::string MakeName(const std::string& device, unsigned long long sequence) {
    char number[24];
    snprintf(number, sizeof number, "%010llu", sequence);
    return kPrefix + device + "-" + number + "-" + UtcStamp() + kSuffix;
}

// Delivery order: by sequence; the name decides only between files of one sequence (a device
// renamed, or files of another device put into this outbox).
struct DeliveryOrder {
    unsigned long long sequence;
    std::string name;
    bool operator<(const DeliveryOrder& other) const {
        if (sequence != other.sequence) return sequence < other.sequence;
        return name < other.name;
    }
};

}  // namespace

std::string OutboxSequencePath() {
    return ConfigurationRoot() + "telephony/cdr.outbox-seq";
}

std::string DeviceName(const std::string& configured) {
    std::string name = configured.empty() ? Env::Current()->HostName() : configured;
    if (name.size() > kMostDeviceLength) name.resize(kMostDeviceLength);
    for (char& c : name)
        if (!IsDeviceCharacter(c)) c = '_';
    return name.empty() ? "device" : name;
}

Outbox::Outbox(const std::string& directory, const std::string& device)
    : mDirectory(directory), mDevice(device) {}

std::vector<std::string> Outbox::Names() const {
    std::vector<std::string> names;
    if (Env::Current()->ListFolder(mDirectory.c_str(), &names) != 0 && errno != ENOENT)
        throw FileError("list outbox", mDirectory, errno);
    return names;
}

// The names among `names` that start with `prefix` ("" or kStagedPrefix), are of this outbox's
// form after it and stand for files it may deliver, `prefix` taken off, in delivery order. The
// other names of that form go to `refused` (when not null) with the reason.
std::vector<std::string> Outbox::TrustedNames(const std::vector<std::string>& names,
                                              const char* prefix,
                                              std::vector<RefusedFile>* refused) const {
    std::vector<DeliveryOrder> order;
    for (const std::string& name : names) {
        DeliveryOrder entry = {0, name.substr(std::min(name.size(), strlen(prefix)))};
        if (!StartsWith(name, prefix) || !ParseSequence(entry.name, &entry.sequence)) continue;
        struct stat status;
        if (Env::Current()->Lstat((mDirectory + name).c_str(), &status) != 0) continue;  // gone
        const std::string problem = DeliveryFileProblem(status);
        if (problem.empty())
            order.push_back(entry);
        else if (refused != nullptr)
            refused->push_back({name, problem});
    }
    std::sort(order.begin(), order.end());
    std::vector<std::string> trusted;
    for (const DeliveryOrder& entry : order) trusted.push_back(entry.name);
    return trusted;
}

std::vector<OutboxFile> Outbox::Files(std::vector<RefusedFile>* refused) const {
    std::vector<OutboxFile> files;
    for (const std::string& name : TrustedNames(Names(), "", refused)) {
        const std::string path = mDirectory + name;
        struct stat status;
        if (Env::Current()->Lstat(path.c_str(), &status) != 0) continue;  // delivered meanwhile
        files.push_back({name, path, static_cast<long long>(status.st_size), status.st_mtime});
    }
    return files;
}

std::string Outbox::Stage(const std::string& text, unsigned long long capBytes) {
    RemoveLeftovers();
    const std::vector<std::string> names = Names();
    std::vector<std::string> numbered = TrustedNames(names, "", nullptr);
    for (const std::string& staged : TrustedNames(names, kStagedPrefix, nullptr))
        numbered.push_back(staged);
    const std::string name = MakeName(DeviceName(mDevice), NextSequence(numbered));
    std::vector<OutboxFile> files = Files();
    MakeRoom(&files, text.size(), capBytes);
    WriteFileAtomically(StagedPath(name), text);
    return name;
}

void Outbox::Publish(const std::string& name) {
    const std::string staged = StagedPath(name);
    const std::string path = mDirectory + name;
    struct stat status;
    if (Env::Current()->Rename(staged.c_str(), path.c_str()) != 0) {
        const int error = errno;
        if (error == ENOENT && Env::Current()->Stat(path.c_str(), &status) == 0) return;
        throw FileError("publish", staged, error);
    }
    SyncFolder(DirName(path));
}

void Outbox::Discard(const std::string& name) {
    const std::string staged = StagedPath(name);
    if (Env::Current()->Unlink(staged.c_str()) != 0 && errno != ENOENT)
        throw FileError("discard", staged, errno);
}

std::vector<std::string> Outbox::StagedNames() const {
    return TrustedNames(Names(), kStagedPrefix, nullptr);
}

std::string Outbox::Add(const std::string& text, unsigned long long capBytes) {
    const std::string name = Stage(text, capBytes);
    try {
        Publish(name);
    } catch (...) {
        Env::Current()->Unlink(StagedPath(name).c_str());
        throw;
    }
    return mDirectory + name;
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
        if ((StartsWith(name, kPrefix) || StartsWith(name, kStagedPrefix)) &&
            EndsWith(name, kTemporarySuffix))
            Env::Current()->Unlink((mDirectory + name).c_str());
}

unsigned CountRecords(const std::string& path) {
    return OpenDownloadLogFile(path.c_str(), true)->GetSectionCount();
}
