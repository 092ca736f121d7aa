// The record journal's file format, reader and writer: the bytes are the same on every host, a
// torn or damaged entry ends the entries with those before it kept, markers make entries
// obsolete, and compaction keeps the live entries whichever of its steps fails.
#include "state/record_journal.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/util/file_util.h"
#include "state/checksum.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

using RecordJournal::Contents;
using RecordJournal::Entry;
using RecordJournal::Kind;
using RecordJournal::Writer;

Entry Record(int target, uint32_t id, const std::string& payload) {
    Entry entry;
    entry.kind = Kind::kRecord;
    entry.target = static_cast<uint8_t>(target);
    entry.type = static_cast<uint16_t>(target == 3 ? 1 : 1 << target);
    entry.id = id;
    entry.payload = payload;
    return entry;
}

Entry Marker(Kind kind, int target, const std::string& payload = "") {
    Entry entry;
    entry.kind = kind;
    entry.target = static_cast<uint8_t>(target);
    entry.payload = payload;
    return entry;
}

std::string Section(uint32_t id) {
    return "{\nID=" + std::to_string(id) + "\ncalled=" + std::string(id % 7 + 1, 'x') + "\n}\n";
}

// "target:id:payload" of each entry, for comparing lists.
std::vector<std::string> Names(const std::vector<Entry>& entries) {
    std::vector<std::string> names;
    for (const Entry& entry : entries)
        names.push_back(std::to_string(entry.target) + ":" + std::to_string(entry.id) + ":" +
                        entry.payload);
    return names;
}

void AppendOne(Writer* writer, const Entry& entry) {
    writer->Append(&entry, 1);
}

Contents Parse(const std::string& bytes) {
    Contents contents;
    RecordJournal::ParseJournal(bytes.data(), bytes.size(), &contents);
    return contents;
}

class JournalTest : public ::testing::Test {
  protected:
    JournalTest() : mPath(mDir.Sub("cdr.journal")) { mLimits.zeroStep = 4096; }

    bool TmpExists() {
        struct stat info;
        return Env::Current()->Stat((mPath + ".tmp").c_str(), &info) == 0;
    }
    // Changes the journal's byte at `offset` in place, under any writer that has it open.
    void Damage(size_t offset) {
        const int fd = Env::Current()->Open(mPath.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(Env::Current()->PwriteFully(fd, "?", 1, static_cast<off_t>(offset)));
        Env::Current()->Close(fd);
    }
    Contents Read() {
        Contents contents;
        RecordJournal::ReadJournal(mPath, &contents);
        return contents;
    }
    // A writer on the journal as it is now.
    std::unique_ptr<Writer> OpenWriter() {
        std::unique_ptr<Writer> writer(new Writer(mPath, mLimits));
        writer->Open(Read());
        return writer;
    }

    TempDir mDir;
    std::string mPath;
    RecordJournal::Limits mLimits;
};

// A reflected CRC one bit at a time, as its polynomial defines it.
uint32_t BitwiseCrc(uint32_t polynomial, const unsigned char* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? polynomial : 0u);
    }
    return ~crc;
}

uint32_t BigEndianWord(const std::string& bytes, size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

typedef uint32_t (*CrcFunction)(const void*, size_t, uint32_t);

// The table code runs eight bytes at a time with a byte-wise tail: every length, alignment and
// split point must give the bitwise value, on either byte order.
TEST(ChecksumTest, EachCrcMatchesItsBitwiseDefinitionAtAnyLengthAlignmentAndSplit) {
    const std::pair<uint32_t, CrcFunction> crcs[] = {{0xEDB88320u, Checksum::Crc32},
                                                     {0x82F63B78u, Checksum::Crc32c},
                                                     {0x82F63B78u, Checksum::Crc32cByTable}};
    unsigned char bytes[80];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (const auto& crc : crcs) {
        for (size_t start = 0; start < 8; ++start) {
            for (size_t size = 0; start + size <= sizeof bytes; ++size) {
                const uint32_t expected = BitwiseCrc(crc.first, bytes + start, size);
                ASSERT_EQ(expected, crc.second(bytes + start, size, 0)) << start << " " << size;
                const size_t split = size / 3;
                ASSERT_EQ(expected, crc.second(bytes + start + split, size - split,
                                               crc.second(bytes + start, split, 0)))
                    << start << " " << size;
            }
        }
    }
}

// Where the CPU has the instruction, it and the tables give the same values on blocks long
// enough for the instruction's wide paths (the short ones are checked bit by bit above).
TEST(ChecksumTest, TheInstructionAndTheTablesAgreeOnLongBlocks) {
    if (!Checksum::HasCrc32cInstruction()) GTEST_SKIP() << "no CRC-32C instruction here";
    std::vector<unsigned char> bytes((1u << 20) + 77);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * i >> 5);
    for (size_t size : {size_t{1000}, size_t{4099}, bytes.size() - 3})
        EXPECT_EQ(Checksum::Crc32cByTable(&bytes[3], size, 0x1234u),
                  Checksum::Crc32c(&bytes[3], size, 0x1234u))
            << size;
}

TEST(JournalFormatTest, BytesAreBigEndianWithCrc32cChecks) {
    Entry entry = Record(2, 0x01020304, "ab");
    std::string bytes;
    RecordJournal::EncodeEntry(entry, 0x0A0B0C0D, &bytes);
    const std::string expectedTail(
        "\x00\x00\x00\x02"
        "\x0A\x0B\x0C\x0D"
        "\x01\x02\x00\x04"
        "\x01\x02\x03\x04"
        "ab",
        18);
    ASSERT_EQ(22u, bytes.size());
    EXPECT_EQ(expectedTail, bytes.substr(4));
    // The payload's CRC, continued over the rest of the head.
    EXPECT_EQ(Checksum::Crc32c(bytes.data() + 4, 16, Checksum::Crc32c("ab", 2)),
              BigEndianWord(bytes, 0));
    const std::string head = RecordJournal::EncodeFileHead(7);
    EXPECT_EQ(std::string("CDRJ\0\0\0\x02\0\0\0\x07", 12), head.substr(0, 12));
    EXPECT_EQ(Checksum::Crc32c(head.data(), 12), BigEndianWord(head, 12));
}

// Every prefix of the last entry, and every single damaged byte in it, ends the entries at its
// offset with the entries before it whole; a last entry not written at all is the clean end.
TEST(JournalFormatTest, ATornOrDamagedLastEntryEndsTheEntriesBeforeIt) {
    const std::vector<Entry> written = {
        Record(0, 1, Section(1)), Record(3, 1, "section\n" + Section(1)), Marker(Kind::kSaved, 0)};
    std::string bytes = RecordJournal::EncodeFileHead(3);
    for (const Entry& entry : written) RecordJournal::EncodeEntry(entry, 3, &bytes);
    const size_t lastAt = bytes.size();
    const Entry last = Record(1, 2, Section(2));
    RecordJournal::EncodeEntry(last, 3, &bytes);
    const size_t lastSize = bytes.size() - lastAt;
    bytes.append(64, '\0');

    const Contents whole = Parse(bytes);
    ASSERT_FALSE(whole.damaged);
    ASSERT_EQ(4u, whole.entries.size());
    EXPECT_EQ(lastAt + lastSize, whole.end);
    EXPECT_EQ(Names({last}), Names({whole.entries[3]}));

    for (size_t at = 0; at < lastSize; ++at) {
        std::string torn = bytes, damaged = bytes;
        std::fill(torn.begin() + lastAt + at, torn.begin() + lastAt + lastSize, '\0');
        damaged[lastAt + at] ^= 0x20;
        const Contents tornContents = Parse(torn), damagedContents = Parse(damaged);
        EXPECT_EQ(Names(written), Names(tornContents.entries)) << "torn after " << at;
        EXPECT_EQ(at != 0, tornContents.damaged) << "torn after " << at;
        EXPECT_EQ(Names(written), Names(damagedContents.entries)) << "damaged at " << at;
        EXPECT_TRUE(damagedContents.damaged) << "damaged at " << at;
        EXPECT_EQ(lastAt, tornContents.end);
        EXPECT_EQ(lastAt, damagedContents.end);
    }
    // A journal cut short inside the last entry (the file itself shorter) ends the same way.
    const Contents cut = Parse(bytes.substr(0, lastAt + lastSize - 1));
    EXPECT_EQ(Names(written), Names(cut.entries));
    EXPECT_TRUE(cut.damaged);
}

TEST(JournalFormatTest, AHeaderThatIsNotAJournalsReadsNothing) {
    EXPECT_TRUE(Parse(RecordJournal::EncodeFileHead(1).replace(9, 1, "x")).unreadable);
    // Entries copied in from a journal of another generation are not this journal's.
    std::string bytes = RecordJournal::EncodeFileHead(5);
    RecordJournal::EncodeEntry(Record(0, 1, Section(1)), 4, &bytes);
    const Contents foreign = Parse(bytes + std::string(32, '\0'));
    EXPECT_TRUE(foreign.entries.empty());
    EXPECT_TRUE(foreign.damaged);
}

// A write that never reached storage leaves zeros where the next entry goes; whatever the
// restarted writer appends there is followed by a zero head, so later bytes of the lost session
// never count again.
TEST_F(JournalTest, EntriesAfterALostWriteNeverComeBack) {
    size_t lostAt = 0;
    {
        std::unique_ptr<Writer> writer = OpenWriter();
        AppendOne(writer.get(), Record(0, 1, Section(1)));
        lostAt = writer->End();
        AppendOne(writer.get(), Record(0, 2, Section(2) + std::string(40, 'y')));
        AppendOne(writer.get(), Record(0, 3, Section(3)));
        writer->Sync();
    }
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(mPath, &bytes));
    const size_t lostEnd = Read().entries[2].offset;
    std::fill(bytes.begin() + lostAt, bytes.begin() + lostEnd, '\0');
    WriteFileAtomically(mPath, bytes);
    ASSERT_EQ(1u, Read().entries.size());
    for (size_t extra : {0u, 40u, 80u}) {
        std::unique_ptr<Writer> writer = OpenWriter();
        AppendOne(writer.get(), Record(0, 9, Section(9) + std::string(extra, 'z')));
        const Contents contents = Read();
        ASSERT_EQ(2u, contents.entries.size()) << extra;
        EXPECT_EQ(9u, contents.entries[1].id);
        EXPECT_FALSE(contents.damaged);
        WriteFileAtomically(mPath, bytes);  // the next round starts from the lost write again
    }
}

TEST_F(JournalTest, AWriterStartsANewJournalOverADamagedOneKeepingItsLiveEntries) {
    {
        std::unique_ptr<Writer> writer = OpenWriter();
        const Entry entries[3] = {Record(0, 1, "a"), Marker(Kind::kSaved, 0), Record(1, 1, "m")};
        writer->Append(entries, 3);
        AppendOne(writer.get(), Record(0, 2, "b"));
    }
    const Contents before = Read();
    Damage(before.entries[3].offset + 20);  // its payload
    ASSERT_TRUE(Read().damaged);
    std::unique_ptr<Writer> writer = OpenWriter();
    EXPECT_EQ(before.generation + 1, writer->Generation());
    const Contents after = Read();
    EXPECT_FALSE(after.damaged);
    EXPECT_EQ(Names({Marker(Kind::kSaved, 0), Record(1, 1, "m")}), Names(after.entries));
}

// A compaction keeps what a start-up needs besides the live records: the last marker of each
// file (a download-marker last says the download log's content went out) and the names of the
// latest downloads, whose files may still wait to be published.
TEST(JournalFormatTest, ACompactionKeepsTheLastMarkersAndTheLatestDownloadNames) {
    std::vector<Entry> entries;
    for (int i = 0; i < 20; ++i) {
        entries.push_back(Record(3, i, "l"));
        entries.push_back(Marker(Kind::kDownloaded, 3, "stat-" + std::to_string(i)));
        entries.push_back(Marker(Kind::kSaved, 3));
    }
    entries.push_back(Record(0, 1, "a"));
    entries.push_back(Marker(Kind::kCleared, 0));
    entries.push_back(Record(3, 20, "l"));
    std::vector<std::string> expected;
    for (int i = 4; i < 20; ++i) expected.push_back("3:0:stat-" + std::to_string(i));
    expected.push_back("3:0:");  // the log's last marker, its save
    expected.push_back("0:0:");  // the stated database's, its clear
    expected.push_back("3:20:l");
    EXPECT_EQ(expected, Names(RecordJournal::KeptEntries(entries)));
    Kind kind;
    ASSERT_TRUE(RecordJournal::LastMarker(entries, 3, &kind));
    EXPECT_EQ(Kind::kSaved, kind);
    EXPECT_FALSE(RecordJournal::LastMarker(entries, 1, &kind));
}

class CompactionTest : public JournalTest {
  protected:
    CompactionTest() {
        mLimits.compactAbove = 1024;
        mLimits.obsoletePerLive = 1;
    }

    // Appends record after record with a saved-marker of database 0 after every fourth, and
    // small download log entries that stay live; returns the live entries as they must read back.
    std::vector<Entry> Fill(Writer* writer, uint32_t records) {
        for (uint32_t id = 0; id < records; ++id) {
            const Entry pair[2] = {Record(0, id, Section(id)), Record(3, id, "l")};
            writer->Append(pair, 2);
            if (id % 4 == 3) AppendOne(writer, Marker(Kind::kSaved, 0));
        }
        return RecordJournal::LiveEntries(Read().entries);
    }
};

// With the default policy the file grows only while its entries are within four times the live
// ones (or the limit): an append that finds it full compacts it first when they are not. Each
// compaction drops at least three obsolete bytes per live record byte it copies.
TEST_F(CompactionTest, TheFileGrowsOnlyWhileTheEntriesAreWithinFourTimesTheLiveOnes) {
    mLimits.obsoletePerLive = RecordJournal::Limits().obsoletePerLive;
    std::unique_ptr<Writer> writer = OpenWriter();
    uint32_t generation = writer->Generation();
    size_t appended = 0, copied = 0, grown = 0;
    auto append = [&](const Entry& entry) {
        const size_t used = writer->End() - RecordJournal::kFileHeadSize;
        const size_t live = writer->LiveBytes(), size = writer->Size();
        writer->Append(&entry, 1);
        appended += RecordJournal::kEntryHeadSize + entry.payload.size();
        if (writer->Generation() != generation) {  // compacted: the entries copied, then it
            copied += writer->End() - RecordJournal::kFileHeadSize -
                      (RecordJournal::kEntryHeadSize + entry.payload.size());
            generation = writer->Generation();
        } else if (writer->Size() > size) {
            ++grown;
            ASSERT_LE(used, std::max<size_t>(4 * live, 1024)) << entry.id;
        }
    };
    for (uint32_t id = 0; id < 2000; ++id) {
        append(Record(id % 3, id, Section(id)));
        if (id % 20 == 19) append(Marker(Kind::kSaved, static_cast<int>(id / 20 % 3)));
    }
    EXPECT_GT(generation, 2u);
    EXPECT_GT(grown, 2u);
    EXPECT_LE(3 * copied, appended);
}

// A download-marker leaves only the database entries after the last save live: the journal
// shrinks back to its initial size at the next compaction.
TEST_F(CompactionTest, AfterADownloadTheJournalShrinksToTheEntriesLeft) {
    std::unique_ptr<Writer> writer = OpenWriter();
    Fill(writer.get(), 62);
    EXPECT_GT(writer->Generation(), 1u);  // compacted at least once
    AppendOne(writer.get(), Marker(Kind::kDownloaded, 3));
    writer->Compact();
    EXPECT_EQ(Names({Record(0, 60, Section(60)), Record(0, 61, Section(61))}),
              Names(RecordJournal::LiveEntries(Read().entries)));
    EXPECT_EQ(4096u, writer->Size());
}

// A compaction that an append runs and that fails leaves the append to grow the file instead,
// and is told (CompactionFailure) until one succeeds.
TEST_F(CompactionTest, AFailedCompactionLeavesTheAppendToGrowTheFile) {
    std::unique_ptr<Writer> writer = OpenWriter();
    std::vector<Entry> live;
    {
        FaultEnv fault(Env::Current(), FaultEnv::kRename, 1, FaultEnv::kFromThenOn);
        live = Fill(writer.get(), 62);
    }
    EXPECT_EQ(1u, writer->Generation());
    EXPECT_GT(writer->Size(), 4096u);
    EXPECT_NE(std::string::npos, writer->CompactionFailure().find("rename"))
        << writer->CompactionFailure();
    EXPECT_EQ(62u + 2, live.size());  // the download log's and database 0's after its last save
    Fill(writer.get(), 62);
    EXPECT_GT(writer->Generation(), 1u);
    EXPECT_EQ("", writer->CompactionFailure());
}

// A compaction copies only the entries it keeps, and copies none that is not what was appended
// there: a damaged entry would otherwise come out of it with a valid check.
TEST_F(CompactionTest, ACompactionRefusesAJournalThatChangedUnderTheWriter) {
    mLimits.compactAbove = SIZE_MAX;  // compact only when told
    std::unique_ptr<Writer> writer = OpenWriter();
    Fill(writer.get(), 10);
    Damage(Read().entries.back().offset + 20);  // a live payload
    EXPECT_THROW(writer->Compact(), FileError);
    EXPECT_EQ(1u, writer->Generation());
    EXPECT_FALSE(TmpExists());
}

// A compaction interrupted at any of its opens, writes, syncs or its rename leaves a journal
// that replays the same live entries, and the writer goes on appending to it.
TEST_F(CompactionTest, AFailureAtEveryStepOfACompactionLeavesTheSameLiveEntries) {
    const FaultEnv::Call calls[] = {FaultEnv::kOpen, FaultEnv::kWrite, FaultEnv::kFsync,
                                    FaultEnv::kRename};
    mLimits.compactAbove = SIZE_MAX;  // compact only when told
    for (FaultEnv::Call call : calls) {
        int steps = -1;
        for (int nth = 0; steps < 0 || nth <= steps; ++nth) {
            Env::Current()->Unlink(mPath.c_str());
            std::unique_ptr<Writer> writer = OpenWriter();
            const std::vector<Entry> live = Fill(writer.get(), 12);
            ASSERT_EQ(12u, live.size());  // the download log's: database 0 was saved at 12
            if (nth == 0) {
                FaultEnv counting(Env::Current(), call, INT_MAX, FaultEnv::kOnce, EIO,
                                  FaultEnv::kEveryFile);
                writer->Compact();
                steps = counting.Seen();
                ASSERT_GT(steps, 0) << call;
            } else {
                FaultEnv fault(Env::Current(), call, nth, FaultEnv::kOnce, EIO,
                               FaultEnv::kEveryFile);
                EXPECT_THROW(writer->Compact(), FileError) << call << " #" << nth;
            }
            EXPECT_EQ(Names(live), Names(RecordJournal::LiveEntries(Read().entries)))
                << call << " #" << nth;
            const Entry more = Record(1, 100, "after");
            writer->Append(&more, 1);
            std::vector<Entry> withMore = live;
            withMore.push_back(more);
            EXPECT_EQ(Names(withMore), Names(RecordJournal::LiveEntries(Read().entries)))
                << call << " #" << nth;
            EXPECT_FALSE(TmpExists());
        }
    }
}

}  // namespace
