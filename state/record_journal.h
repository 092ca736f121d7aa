// The record journal: every record the recorder adds, appended to one file on the databases'
// storage as soon as it is added, so that records not yet saved in their files survive a crash
// (and, once synced, a power cut). The recorder writes it; cdrctl reads it too.
//
// File layout (all numbers big-endian, whatever the host):
//   header, 16 bytes: the magic "CDRJ", the format version (2), the generation (a new one for
//   each file written whole), and a CRC-32C of those 12 bytes;
//   entries, one after another from offset 16, each a 20-byte head and a payload:
//     crc (4)      CRC-32C of the payload, continued over the rest of the head
//     length (4)   payload bytes
//     generation   the file's generation (4), so bytes left from another file never count
//     kind (1)     record, saved-marker, cleared-marker or download-marker; the bit 0x80
//                  set: the next entry belongs to the same write (a record's database entry
//                  and its download-log copy), so that both count or neither
//     target (1)   0, 1, 2: the stated, missed, failed calls database; 3: the download log
//     type (2)     the record's type (1, 2, 4), 0 for markers
//     id (4)       the record's ID, 0 for markers
//     payload      a record: its section exactly as its file holds it; a download-marker: the
//                  name of the file the download wrote (may be empty)
//   then zeros. Zeros are written (and synced) a bounded step ahead of the entries, and entries
//   overwrite them in place, so a sync of new entries commits no metadata except when the file
//   grew by a step. Each write of entries is followed by 20 zero bytes: a head of zeros always
//   ends the entries, even where new entries overwrite bytes of older ones.
// Format version 1, still read (a writer that finds one rewrites it as version 2), differs only
// in its checks: CRC-32 (the polynomial of zlib and Ethernet), of the header's 12 bytes and of
// an entry's head after the crc followed by its payload.
// An entry whose check fails (torn by a crash during its write, or damaged) ends the entries:
// those before it count, nothing after it does, nor the entries of the write it ended: a
// power cut can keep part of a write that was never synced, and a record must not be kept in
// its database while its download-log copy is lost.
//
// Liveness: a record entry is live until a later marker of its target: a saved-marker (the
// file was saved with it), a cleared-marker (the file was cleared) or a download-marker (the
// download log went to the outbox and was emptied).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class MappedWindow;

namespace Configuration {
class MultiSectionConfigFile;
}

namespace RecordJournal {

const int kTargets = 4;
const int kDownloadLogTarget = 3;
const size_t kFileHeadSize = 16;
const size_t kEntryHeadSize = 20;
const uint32_t kFormatVersion = 2;  // the format written

enum class Kind : uint8_t { kRecord = 1, kSaved = 2, kCleared = 3, kDownloaded = 4 };

// What an entry says besides its payload.
struct EntryHead {
    Kind kind = Kind::kRecord;
    uint8_t target = 0;
    uint16_t type = 0;
    uint32_t id = 0;
    bool continued = false;  // the next entry was written with it (see the layout above)
};

// An entry to append whose payload lies elsewhere: Writer::Append copies it straight into the
// journal, so a record's text goes from its file's section to the journal in one copy.
struct EntryRef : EntryHead {
    std::string_view payload;
};

struct Entry : EntryHead {
    std::string payload;
    uint32_t offset = 0;  // where the entry starts in its journal (set by the reader)

    EntryRef Ref() const {
        EntryRef ref;
        static_cast<EntryHead&>(ref) = *this;
        ref.payload = payload;
        return ref;
    }
};

// What a journal file holds.
struct Contents {
    bool present = false;  // a journal file was there
    uint32_t version = 0;  // its format version
    uint32_t generation = 0;
    std::vector<Entry> entries;  // every entry before the end, in file order
    size_t end = 0;              // where the entries end: the next entry goes there
    size_t size = 0;             // the file's size
    bool damaged = false;        // the entries end at an entry that failed its check, at `end`
    bool unreadable = false;     // the header is not a journal's: nothing was read
};

// The journal's path under the configuration root `root`: beside the default databases.
std::string JournalPath(const std::string& root);

// The file header of a journal of `generation`.
std::string EncodeFileHead(uint32_t generation);
// Appends `entry` as written in a journal of `generation` to `*out`.
void EncodeEntry(const Entry& entry, uint32_t generation, std::string* out);

// Reads journal bytes into `*contents` (replaced). Never throws: a header that is not a
// journal's sets `unreadable`, an entry that fails its check sets `damaged`.
void ParseJournal(const char* data, size_t size, Contents* contents);
// Reads the journal file at `path` into `*contents`: `present` false when there is none. Throws
// FileError when it exists but cannot be read.
void ReadJournal(const std::string& path, Contents* contents);

// The live record entries of `entries`, in order.
std::vector<Entry> LiveEntries(const std::vector<Entry>& entries);

// How many of the latest download-markers a compaction keeps, with their outbox file names: a
// download whose file was committed but not yet published is published at the next start only
// while its marker is in the journal.
const size_t kKeptDownloadMarkers = 16;

// What a compaction copies of `entries`, in order: the live record entries, the last marker of
// each target (which says what its file's content stands for) and the latest
// kKeptDownloadMarkers download-markers.
std::vector<Entry> KeptEntries(const std::vector<Entry>& entries);

// The kind of the last marker of `target` in `entries`; false when there is none.
bool LastMarker(const std::vector<Entry>& entries, int target, Kind* kind);

// The entries of `live` (LiveEntries) for `target` whose records `file`, that target's file as
// loaded, does not hold yet, in order: for a database those above its newest ID (IDs only grow),
// for the download log those whose (type, ID) it lacks. Moves `file`'s current section.
std::vector<Entry> EntriesMissingFrom(const std::vector<Entry>& live, int target,
                                      Configuration::MultiSectionConfigFile* file);

// Sizes of the file the writer keeps.
struct Limits {
    // The zeros kept written ahead of the entries: the file grows by this step (a multiple of
    // it), and a compacted file has at least half of it left.
    size_t zeroStep = 64u << 10;
    // The obsolete entries are dropped once the entries take more than `compactAbove` bytes and
    // the obsolete ones more than `obsoletePerLive` times the live ones, when an append finds
    // the file full (see Append).
    size_t compactAbove = 256u << 10;
    size_t obsoletePerLive = 3;
};

// Appends entries to a journal file and keeps it compact. Not thread-safe.
class Writer {
  public:
    explicit Writer(const std::string& path, const Limits& limits = Limits());
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Takes over the journal read into `contents` (ReadJournal of the same path): goes on after
    // its entries, or, when there is no journal, it is unreadable, damaged, of the earlier
    // format or without room, writes a new one holding its live entries. Entries found count as
    // unsynced until the first Sync. Throws FileError on failure.
    void Open(const Contents& contents);

    // Appends `count` entries as one write (into a mapped window of the file, or a pwrite
    // right after a sync). When the file has no room for them, it is compacted if that is due
    // (CompactIfDue), and grown if still needed: a failed compaction does not fail the append. The
    // entries reach the page cache at once; they are on storage after the next Sync. Throws
    // FileError on failure; the journal then holds the entries before them.
    void Append(const EntryRef* entries, size_t count);
    // The same for entries that hold their payloads.
    void Append(const Entry* entries, size_t count);
    // Syncs the entries appended so far (fdatasync) when some are not yet synced. Throws
    // FileError on failure.
    void Sync();
    // Entries were appended since the last Sync.
    bool HasUnsynced() const { return mEnd != mSyncedEnd; }

    // Whether the obsolete entries take more than Limits::obsoletePerLive times the live ones
    // and the entries more than Limits::compactAbove.
    bool CompactionDue() const;
    // Compact when CompactionDue. Never throws: a failure is kept in CompactionFailure (and
    // the journal goes on as Compact leaves it).
    void CompactIfDue();
    // Drops the obsolete entries: the entries to keep (KeptEntries) are copied into a new
    // journal file, which replaces this one crash-safely (temporary file, synced, renamed,
    // folder synced). Only the kept entries' bytes are read back, each checked against its CRC
    // and against what was appended there, and the payload's CRC reused for its copy. Throws
    // FileError when that fails (also when the file changed under the writer); the journal is
    // then the one before, whole, and appends go on there; or, when only the folder's sync
    // failed, the new one, which holds the same live entries.
    void Compact();
    // Why the last compaction CompactIfDue ran failed; empty once one succeeded, or before any.
    const std::string& CompactionFailure() const { return mCompactionFailure; }

    size_t End() const { return mEnd; }
    size_t Size() const { return mSize; }
    size_t LiveBytes() const;
    uint32_t Generation() const { return mGeneration; }
    const std::string& Path() const { return mPath; }

  private:
    // Where an appended entry lies and what compaction needs to know of it.
    struct Span {
        uint32_t offset;
        uint32_t size;
        Kind kind;
        uint8_t target;
    };

    // Reads the entries of `kept` (positions in mSpans) into `*bytes` as entries of
    // `generation`, each standing alone; throws FileError when one is not as it was appended.
    void CopyKept(const std::vector<size_t>& kept, uint32_t generation, std::string* bytes,
                  std::vector<Span>* spans);
    // Reads `size` bytes at `offset` of the journal into `*out`.
    void ReadAt(size_t offset, size_t size, std::string* out);
    // Replaces the journal by a new file of `generation` holding `bytes` (its head and entries,
    // laid out as `spans`) and zeros after them.
    // (`*bytes` is used up).
    void Rewrite(std::string* bytes, const std::vector<Span>& spans, uint32_t generation);
    void MakeRoom(size_t bytes);
    // Maps the part of the file where the next `bytes` bytes go, unless already mapped.
    void MapWindow(size_t bytes);
    // Where the byte at `offset` of the file is in the window (which holds it).
    char* WindowAt(size_t offset) const;
    void Grow(size_t needed);
    // A size for entries ending at `end`: a multiple of the step, at least half a step ahead.
    size_t SizeFor(size_t end) const;
    void Note(Kind kind, uint8_t target, size_t offset, size_t bytes);
    void CloseFile();
    // Syncs the journal's folder, so that a rename into it is on storage.
    void SyncFolder();

    std::string mPath;
    Limits mLimits;
    int mFd = -1;
    uint32_t mGeneration = 0;
    size_t mEnd = 0, mSyncedEnd = 0, mSize = 0;
    size_t mLive[kTargets] = {};
    std::vector<Span> mSpans;               // every entry of the file, in order
    std::unique_ptr<MappedWindow> mWindow;  // where appends go: see MapWindow
    std::string mBuffer;                    // appends written with pwrite: see Append
    std::string mCompactionFailure;
};

}  // namespace RecordJournal
