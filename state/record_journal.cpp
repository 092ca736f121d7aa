#include "state/record_journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

#include "platform/config/multi_section_config_file.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "state/checksum.h"

namespace RecordJournal {

namespace {

const char kMagic[4] = {'C', 'D', 'R', 'J'};
// The first format's checks were CRC-32; it is still read.
const uint32_t kCrc32Version = 1;
const uint8_t kContinued = 0x80;
// The largest journal read: far above what the compaction lets it reach.
const size_t kMaxJournalSize = 256u << 20;
// The least the writer maps of the journal at a time (rounded up to whole pages). The window may
// reach past the file's end, which the file's growth then fills: a window lasts for this many
// bytes of appends, whatever the growth step.
const size_t kWindowBytes = 256u << 10;
// What the file grows by at most per write.
const size_t kZeroBytes = 64u << 10;

void PutWord(uint32_t value, char* out) {
    out[0] = static_cast<char>(value >> 24);
    out[1] = static_cast<char>(value >> 16);
    out[2] = static_cast<char>(value >> 8);
    out[3] = static_cast<char>(value);
}

uint32_t GetWord(const char* in) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

bool IsZero(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != 0) return false;
    return true;
}

bool IsKnownKind(uint8_t kind) {
    return kind >= static_cast<uint8_t>(Kind::kRecord) &&
           kind <= static_cast<uint8_t>(Kind::kDownloaded);
}

// The check of the entry whose head is at `head`, followed by its `length` payload bytes, in a
// journal of `version`. From version 2 on it is the CRC-32C of the payload continued over the
// rest of the head: a compaction, which changes only the head, checks the payload once and
// reuses its CRC for the entry it writes.
uint32_t EntryCheck(uint32_t version, const char* head, size_t length) {
    if (version == kCrc32Version) return Checksum::Crc32(head + 4, kEntryHeadSize - 4 + length);
    return Checksum::Crc32c(head + 4, kEntryHeadSize - 4,
                            Checksum::Crc32c(head + kEntryHeadSize, length));
}

// The entry at `offset` of a journal of `version` and `generation` into `*entry`; its size in
// bytes, or 0 when it fails its check (torn, damaged or left from another file).
size_t DecodeEntry(const char* data, size_t size, size_t offset, uint32_t version,
                   uint32_t generation, Entry* entry) {
    if (size - offset < kEntryHeadSize) return 0;
    const char* head = data + offset;
    const uint32_t length = GetWord(head + 4);
    if (length > size - offset - kEntryHeadSize) return 0;
    if (EntryCheck(version, head, length) != GetWord(head)) return 0;
    const uint8_t kind = static_cast<uint8_t>(head[12]) & ~kContinued;
    const uint8_t target = static_cast<uint8_t>(head[13]);
    if (GetWord(head + 8) != generation || !IsKnownKind(kind) || target >= kTargets) return 0;
    entry->kind = static_cast<Kind>(kind);
    entry->target = target;
    entry->type = static_cast<uint16_t>((static_cast<unsigned char>(head[14]) << 8) |
                                        static_cast<unsigned char>(head[15]));
    entry->id = GetWord(head + 16);
    entry->payload.assign(head + kEntryHeadSize, length);
    entry->offset = static_cast<uint32_t>(offset);
    entry->continued = (static_cast<uint8_t>(head[12]) & kContinued) != 0;
    return kEntryHeadSize + length;
}

// Copies the entry of `size` bytes at `in`, of a journal of the current format and `generation`,
// to `out` as an entry of `newGeneration` standing alone (its companion may not be copied), in
// one pass over its payload: the payload's CRC both checks the entry and makes the new one's
// check. False, with `out` undefined, when the entry fails its check.
bool CopyEntry(const char* in, size_t size, uint32_t generation, uint32_t newGeneration,
               char* out) {
    if (size < kEntryHeadSize || GetWord(in + 4) != size - kEntryHeadSize ||
        GetWord(in + 8) != generation)
        return false;
    const uint32_t payloadCheck = Checksum::Crc32c(in + kEntryHeadSize, size - kEntryHeadSize);
    if (Checksum::Crc32c(in + 4, kEntryHeadSize - 4, payloadCheck) != GetWord(in)) return false;
    memcpy(out, in, size);
    PutWord(newGeneration, out + 8);
    out[12] = static_cast<char>(static_cast<uint8_t>(out[12]) & ~kContinued);
    PutWord(Checksum::Crc32c(out + 4, kEntryHeadSize - 4, payloadCheck), out);
    return true;
}

// The bytes `entry` (an Entry or an EntryRef) takes in a journal.
template <typename AnyEntry>
size_t EncodedSize(const AnyEntry& entry) {
    return kEntryHeadSize + entry.payload.size();
}

// Drops the entries of a write that did not reach the journal whole: the last entries read when
// they announce one more. The journal then counts as damaged where that write starts.
void DropUnfinishedWrite(Contents* contents, size_t* end) {
    std::vector<Entry>& entries = contents->entries;
    if (entries.empty() || !entries.back().continued) return;
    while (!entries.empty() && entries.back().continued) {
        *end = entries.back().offset;
        entries.pop_back();
    }
    contents->damaged = true;
}

// Writes `entry` as an entry of a journal of `generation` at `out`: EncodedSize(entry) bytes.
void EncodeEntryAt(const EntryRef& entry, uint32_t generation, char* out) {
    char* head = out;
    PutWord(static_cast<uint32_t>(entry.payload.size()), head + 4);
    PutWord(generation, head + 8);
    head[12] =
        static_cast<char>(static_cast<uint8_t>(entry.kind) | (entry.continued ? kContinued : 0));
    head[13] = static_cast<char>(entry.target);
    head[14] = static_cast<char>(entry.type >> 8);
    head[15] = static_cast<char>(entry.type);
    PutWord(entry.id, head + 16);
    memcpy(out + kEntryHeadSize, entry.payload.data(), entry.payload.size());
    PutWord(EntryCheck(kFormatVersion, head, entry.payload.size()), head);
}

size_t PageSize() {
    static const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096u;
}

}  // namespace

std::string JournalPath(const std::string& root) {
    return root + "telephony/cdr.journal";
}

std::string EncodeFileHead(uint32_t generation) {
    char head[kFileHeadSize];
    memcpy(head, kMagic, 4);
    PutWord(kFormatVersion, head + 4);
    PutWord(generation, head + 8);
    PutWord(Checksum::Crc32c(head, 12), head + 12);
    return std::string(head, sizeof head);
}

void EncodeEntry(const Entry& entry, uint32_t generation, std::string* out) {
    const size_t at = out->size();
    out->resize(at + EncodedSize(entry));
    EncodeEntryAt(entry.Ref(), generation, &(*out)[at]);
}

void ParseJournal(const char* data, size_t size, Contents* contents) {
    *contents = Contents();
    contents->present = true;
    contents->size = size;
    const uint32_t version = size < kFileHeadSize ? 0 : GetWord(data + 4);
    const uint32_t check =
        version == kCrc32Version ? Checksum::Crc32(data, 12) : Checksum::Crc32c(data, 12);
    if (size < kFileHeadSize || memcmp(data, kMagic, 4) != 0 ||
        (version != kCrc32Version && version != kFormatVersion) || check != GetWord(data + 12)) {
        contents->unreadable = true;
        return;
    }
    contents->version = version;
    contents->generation = GetWord(data + 8);
    size_t offset = kFileHeadSize;
    for (;;) {
        if (size - offset < kEntryHeadSize ? IsZero(data + offset, size - offset)
                                           : IsZero(data + offset, kEntryHeadSize))
            break;  // the clean end
        Entry entry;
        const size_t used = DecodeEntry(data, size, offset, version, contents->generation, &entry);
        if (used == 0) {
            contents->damaged = true;
            break;
        }
        contents->entries.push_back(std::move(entry));
        offset += used;
    }
    DropUnfinishedWrite(contents, &offset);
    contents->end = offset;
}

void ReadJournal(const std::string& path, Contents* contents) {
    FileBytes bytes;
    if (!ReadWholeFile(path, &bytes, kMaxJournalSize)) {
        *contents = Contents();
        return;
    }
    if (bytes.empty()) {  // created but never written: as good as none
        *contents = Contents();
        contents->present = true;
        return;
    }
    ParseJournal(bytes.data(), bytes.size(), contents);
}

std::vector<Entry> LiveEntries(const std::vector<Entry>& entries) {
    size_t lastMarker[kTargets] = {};  // one past the target's last marker
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != Kind::kRecord) lastMarker[entries[i].target] = i + 1;
    }
    std::vector<Entry> live;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (entry.kind == Kind::kRecord && i >= lastMarker[entry.target]) live.push_back(entry);
    }
    return live;
}

namespace {

// The number at the start of the entry `key` of `file`'s current section; false when absent.
bool NumberEntry(const Configuration::MultiSectionConfigFile& file, const char* key,
                 uint32_t* number) {
    char text[32];
    if (file.GetSectionEntry(key, text, sizeof text) == 0) return false;
    uint32_t value = 0;
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c) value = value * 10u + (*c - '0');
    *number = value;
    return true;
}

// The positions of the entries a compaction keeps (see KeptEntries), for any list of items with
// an entry's `kind` and `target`.
template <typename Item>
std::vector<size_t> KeptPositions(const std::vector<Item>& items) {
    size_t lastMarker[kTargets] = {};  // one past the target's last marker
    size_t downloads = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].kind == Kind::kRecord) continue;
        lastMarker[items[i].target] = i + 1;
        if (items[i].kind == Kind::kDownloaded) ++downloads;
    }
    std::vector<size_t> kept;
    size_t download = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        bool keep;
        if (item.kind == Kind::kRecord)
            keep = i >= lastMarker[item.target];
        else
            keep =
                i + 1 == lastMarker[item.target] ||
                (item.kind == Kind::kDownloaded && download++ + kKeptDownloadMarkers >= downloads);
        if (keep) kept.push_back(i);
    }
    return kept;
}

}  // namespace

std::vector<Entry> KeptEntries(const std::vector<Entry>& entries) {
    std::vector<Entry> kept;
    for (size_t position : KeptPositions(entries)) kept.push_back(entries[position]);
    return kept;
}

bool LastMarker(const std::vector<Entry>& entries, int target, Kind* kind) {
    for (size_t i = entries.size(); i-- > 0;) {
        if (entries[i].kind != Kind::kRecord && entries[i].target == target) {
            *kind = entries[i].kind;
            return true;
        }
    }
    return false;
}

std::vector<Entry> EntriesMissingFrom(const std::vector<Entry>& live, int target,
                                      Configuration::MultiSectionConfigFile* file) {
    bool hasNewest = false;
    uint32_t newest = 0;
    std::set<std::pair<uint32_t, uint32_t>> held;
    if (target != kDownloadLogTarget) {
        hasNewest = file->GotoFirstSection() != 0 && NumberEntry(*file, "ID", &newest);
    } else {
        file->Restart();
        while (file->GotoNextSection() != 0) {
            uint32_t type, id;
            if (NumberEntry(*file, "type", &type) && NumberEntry(*file, "ID", &id))
                held.insert(std::make_pair(type, id));
        }
    }
    std::vector<Entry> missing;
    for (const Entry& entry : live) {
        if (entry.target != target) continue;
        const bool isHeld = target == kDownloadLogTarget
                                ? held.count(std::make_pair(uint32_t{entry.type}, entry.id)) != 0
                                : hasNewest && entry.id <= newest;
        if (!isHeld) missing.push_back(entry);
    }
    return missing;
}

Writer::Writer(const std::string& path, const Limits& limits) : mPath(path), mLimits(limits) {
    mLimits.zeroStep = std::max<size_t>(mLimits.zeroStep, kFileHeadSize + kEntryHeadSize);
}

Writer::~Writer() {
    CloseFile();
}

void Writer::CloseFile() {
    mWindow.reset();
    if (mFd >= 0) Env::Current()->Close(mFd);
    mFd = -1;
}

void Writer::Open(const Contents& contents) {
    CloseFile();
    // A journal of the earlier format is rewritten whole: entries of two formats never share
    // a file.
    const bool usable = contents.present && !contents.unreadable && !contents.damaged &&
                        contents.version == kFormatVersion &&
                        contents.size >= contents.end + kEntryHeadSize;
    if (!usable) {
        const uint32_t generation = contents.generation + 1;
        std::string bytes = EncodeFileHead(generation);
        std::vector<Span> spans;
        for (Entry entry : KeptEntries(contents.entries)) {
            entry.continued = false;  // each kept entry stands alone: its companion may be gone
            spans.push_back({static_cast<uint32_t>(bytes.size()),
                             static_cast<uint32_t>(EncodedSize(entry)), entry.kind, entry.target});
            EncodeEntry(entry, generation, &bytes);
        }
        Rewrite(&bytes, spans, generation);
        return;
    }
    const int fd = Env::Current()->Open(mPath.c_str(), O_RDWR, 0);
    if (fd < 0) throw FileError("open", mPath, errno);
    mFd = fd;
    // The read at start-up left the file cached, perhaps in large blocks: each append would
    // dirty one of them whole.
    Env::Current()->DropCleanPages(mFd);
    mGeneration = contents.generation;
    mEnd = contents.end;
    mSyncedEnd = kFileHeadSize;  // what an earlier process wrote may not be on storage yet
    mSize = contents.size;
    std::fill(mLive, mLive + kTargets, 0);
    mSpans.clear();
    for (const Entry& entry : contents.entries)
        Note(entry.kind, entry.target, entry.offset, EncodedSize(entry));
}

void Writer::Note(Kind kind, uint8_t target, size_t offset, size_t bytes) {
    mSpans.push_back({static_cast<uint32_t>(offset), static_cast<uint32_t>(bytes), kind, target});
    if (kind == Kind::kRecord)
        mLive[target] += bytes;
    else
        mLive[target] = 0;
}

size_t Writer::LiveBytes() const {
    size_t live = 0;
    for (size_t bytes : mLive) live += bytes;
    return live;
}

// The entries are encoded straight into the mapped window: no system call, no allocation. The
// window's pages are the file's page cache, so the entries survive the end of the process at
// once. The bytes they go to were written as zeros before (Grow, Rewrite): blocks already
// allocated and written, so neither this write nor the next sync needs the file system to
// allocate or convert a block, and no write into the window can meet a full disk.
//
// Right after a sync the entries go through one pwrite instead: the sync write-protected the
// pages it wrote back, and the first write into such a page takes a page fault that costs more
// than the system call. When every report is synced, every append would take one.
void Writer::Append(const Entry* entries, size_t count) {
    std::vector<EntryRef> refs;
    refs.reserve(count);
    for (size_t i = 0; i < count; ++i) refs.push_back(entries[i].Ref());
    Append(refs.data(), count);
}

void Writer::Append(const EntryRef* entries, size_t count) {
    size_t bytes = kEntryHeadSize;  // the clean end after the new entries
    for (size_t i = 0; i < count; ++i) bytes += EncodedSize(entries[i]);
    MakeRoom(bytes);
    const bool throughWrite = !HasUnsynced();
    if (throughWrite) {
        mBuffer.resize(bytes);
    } else {
        MapWindow(bytes);
    }
    char* const start = throughWrite ? &mBuffer[0] : WindowAt(mEnd);
    char* out = start;
    for (size_t i = 0; i < count; ++i) {
        EncodeEntryAt(entries[i], mGeneration, out);
        out += EncodedSize(entries[i]);
    }
    memset(out, 0, kEntryHeadSize);
    if (!throughWrite)
        mWindow->Written(static_cast<size_t>(start - mWindow->Data()), bytes);
    else if (!Env::Current()->PwriteFully(mFd, start, bytes, static_cast<off_t>(mEnd)))
        throw FileError("write", mPath, errno);
    for (size_t i = 0; i < count; ++i) {
        const size_t size = EncodedSize(entries[i]);
        Note(entries[i].kind, entries[i].target, mEnd, size);
        mEnd += size;
    }
}

char* Writer::WindowAt(size_t offset) const {
    return mWindow->Data() + (offset - static_cast<size_t>(mWindow->Offset()));
}

// The window covers a bounded part of the file from the page of the end on, so that the memory
// it takes stays small whatever the journal's size. It may reach past the file's end: only bytes
// below the end are written (MakeRoom grows the file first), and the pages past it become the
// file's as it grows. The file is the recorder's own (created 0600 in its folder), and it only
// grows while mapped: only root could truncate it under the window, and a write into a page past
// its end would then raise SIGBUS.
void Writer::MapWindow(size_t bytes) {
    if (mWindow != nullptr) {
        const size_t offset = static_cast<size_t>(mWindow->Offset());
        if (mEnd >= offset && mEnd + bytes <= offset + mWindow->Size()) return;
        mWindow.reset();
    }
    const size_t page = PageSize();
    const size_t offset = mEnd / page * page;
    const size_t wanted = std::max(mEnd + bytes - offset, (kWindowBytes + page - 1) / page * page);
    mWindow = Env::Current()->Map(mFd, static_cast<off_t>(offset), wanted);
    if (mWindow == nullptr) throw FileError("map", mPath, errno);
}

// fdatasync writes back the window's dirty pages too: they are the file's page cache.
void Writer::Sync() {
    if (!HasUnsynced()) return;
    if (Env::Current()->Fdatasync(mFd) != 0) throw FileError("sync", mPath, errno);
    mSyncedEnd = mEnd;
}

// Compaction waits for the file to be full rather than running at the marker that made it due:
// files saved close together (as with equal save periods) then cost one compaction, which copies
// what none of them saved, not one per marker copying the others' unsaved entries.
void Writer::MakeRoom(size_t bytes) {
    if (mEnd + bytes <= mSize) return;
    CompactIfDue();
    if (mEnd + bytes > mSize) Grow(mEnd + bytes);
}

size_t Writer::SizeFor(size_t end) const {
    const size_t step = mLimits.zeroStep;
    return (end + step / 2 + step - 1) / step * step;
}

// Appends zeros up to a size for `needed` bytes: the area after the entries stays zeros, so the
// growth needs no care for crashes. The sync commits the new size, once per step, so that the
// syncs of the entries written into the zeros commit none.
void Writer::Grow(size_t needed) {
    // Zero-initialized and never written: neither in the program file nor ever resident.
    static char zeros[kZeroBytes];
    const size_t size = SizeFor(needed);
    for (size_t at = mSize; at < size;) {
        const size_t part = std::min(kZeroBytes, size - at);
        if (!Env::Current()->PwriteFully(mFd, zeros, part, static_cast<off_t>(at)))
            throw FileError("grow", mPath, errno);
        at += part;
    }
    // Synced and dropped from the cache, so that appends dirty single pages, not the larger
    // blocks the zeros were cached in.
    if (Env::Current()->Fdatasync(mFd) != 0) throw FileError("grow", mPath, errno);
    Env::Current()->DropCleanPages(mFd);
    mSize = size;
}

// A compaction costs a copy of the live bytes and the syncs of the new file and its folder: run
// only once the obsolete bytes exceed `obsoletePerLive` times the live ones, its copying costs at
// most 1/obsoletePerLive byte per obsolete byte dropped, and the limit keeps a small journal from
// paying the syncs often. Since the file grows only when no compaction is due (MakeRoom), it
// stays within obsoletePerLive + 1 times the live bytes, or the limit, whichever is larger, plus
// a growth step.
bool Writer::CompactionDue() const {
    const size_t used = mEnd - kFileHeadSize, live = LiveBytes();
    return used > mLimits.compactAbove && used - live > mLimits.obsoletePerLive * live;
}

void Writer::CompactIfDue() {
    if (!CompactionDue()) return;
    try {
        Compact();
        mCompactionFailure.clear();
    } catch (const std::exception& e) {
        mCompactionFailure = e.what();
    }
}

void Writer::Compact() {
    Sync();
    std::string head;
    ReadAt(0, kFileHeadSize, &head);
    if (head != EncodeFileHead(mGeneration))
        throw FileError("compact", mPath, EIO, "it changed under the recorder");
    const uint32_t generation = mGeneration + 1;
    std::string bytes = EncodeFileHead(generation);
    std::vector<Span> spans;
    CopyKept(KeptPositions(mSpans), generation, &bytes, &spans);
    Rewrite(&bytes, spans, generation);
}

void Writer::ReadAt(size_t offset, size_t size, std::string* out) {
    Env* env = Env::Current();
    out->resize(size);
    if (env->Seek(mFd, static_cast<off_t>(offset), SEEK_SET) < 0)
        throw FileError("read", mPath, errno);
    for (size_t done = 0; done < size;) {
        const ssize_t got = env->Read(mFd, &(*out)[done], size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw FileError("read", mPath, got < 0 ? errno : EIO, "it ended early");
        done += static_cast<size_t>(got);
    }
}

void Writer::CopyKept(const std::vector<size_t>& kept, uint32_t generation, std::string* bytes,
                      std::vector<Span>* spans) {
    // Read in runs of up to this many bytes: few system calls, little memory.
    const size_t kRun = 64u << 10;
    std::string run;
    for (size_t first = 0; first < kept.size();) {
        const size_t start = mSpans[kept[first]].offset;
        size_t last = first + 1;
        while (last < kept.size() &&
               mSpans[kept[last]].offset + mSpans[kept[last]].size - start <= kRun)
            ++last;
        const Span& end = mSpans[kept[last - 1]];
        ReadAt(start, end.offset + end.size - start, &run);
        for (size_t i = first; i < last; ++i) {
            const Span& span = mSpans[kept[i]];
            const char* in = run.data() + (span.offset - start);
            const size_t at = bytes->size();
            bytes->resize(at + span.size);
            if ((static_cast<uint8_t>(in[12]) & ~kContinued) != static_cast<uint8_t>(span.kind) ||
                static_cast<uint8_t>(in[13]) != span.target ||
                !CopyEntry(in, span.size, mGeneration, generation, &(*bytes)[at]))
                throw FileError("compact", mPath, EIO, "it changed under the recorder");
            spans->push_back({static_cast<uint32_t>(at), span.size, span.kind, span.target});
        }
        first = last;
    }
}

// The new file is written under a temporary name and keeps its descriptor across the rename, so
// that appends after the compaction always go to the file that holds the live entries.
void Writer::Rewrite(std::string* bytes, const std::vector<Span>& spans, uint32_t generation) {
    const size_t end = bytes->size();
    const size_t size = SizeFor(end + kEntryHeadSize);
    bytes->resize(size, '\0');
    Env* env = Env::Current();
    const std::string temporary = mPath + ".tmp";
    MakeDirs(DirName(mPath));
    env->Unlink(temporary.c_str());  // a leftover of an interrupted compaction, if any
    const int fd = env->Open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) throw FileError("create", temporary, errno);
    const char* failed = nullptr;
    if (!env->PwriteFully(fd, bytes->data(), size, 0))
        failed = "write";
    else if (env->Fsync(fd) != 0)
        failed = "sync";
    else if (env->Rename(temporary.c_str(), mPath.c_str()) != 0)
        failed = "rename";
    if (failed != nullptr) {
        const int error = errno;
        env->Close(fd);
        env->Unlink(temporary.c_str());
        throw FileError(failed, temporary, error);
    }
    CloseFile();
    mFd = fd;
    env->DropCleanPages(mFd);  // written whole and synced: see Grow
    mGeneration = generation;
    mSize = size;
    std::fill(mLive, mLive + kTargets, 0);
    mSpans.clear();
    mSpans.reserve(spans.size());
    for (const Span& span : spans) Note(span.kind, span.target, span.offset, span.size);
    mEnd = mSyncedEnd = end;
    SyncFolder();
}

void Writer::SyncFolder() {
    Env* env = Env::Current();
    const std::string folder = DirName(mPath);
    const int fd = env->Open(folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw FileError("open folder", folder, errno);
    const int result = env->Fsync(fd);
    const int error = errno;
    env->Close(fd);
    if (result != 0) throw FileError("sync folder", folder, error);
}

}  // namespace RecordJournal
