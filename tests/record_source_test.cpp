// Reading a record file a piece at a time: the records, their order and the errors must be those
// of a load of the whole file, wherever the pieces are cut, and a second pass must read the file
// the first one read.
#include "tools/record_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/config/record_syntax.h"
#include "platform/util/file_util.h"
#include "support/recorder_fixture.h"

namespace {

// Every record of `source`, in order.
std::vector<RecordEntries> Drain(RecordSource& source) {
    std::vector<RecordEntries> records;
    RecordEntries record;
    while (source.Next(&record)) records.push_back(record);
    return records;
}

// Every record of the file at `path` as a load of the whole file gives them.
std::vector<RecordEntries> Loaded(const std::string& path, bool downloadLog) {
    auto file = downloadLog ? OpenDownloadLogFile(path.c_str(), true)
                            : OpenDatabaseFile(path.c_str(), true);
    std::vector<RecordEntries> records;
    for (file->Restart(); file->GotoNextSection() != 0;) {
        RecordEntries record(file->GetEntryCount());
        for (unsigned i = 0; i < record.size(); ++i)
            file->GetEntry(i, &record[i].first, &record[i].second);
        records.push_back(record);
    }
    return records;
}

// The message of the error reading the file at `path` raises, or "" when it reads: in pieces of
// `pieceSize` bytes, or as a load of the whole file when `pieceSize` is 0.
std::string ReadError(const std::string& path, bool downloadLog, size_t pieceSize = 0) {
    try {
        if (pieceSize == 0) {
            Loaded(path, downloadLog);
        } else {
            RecordFileSource source(path, downloadLog, pieceSize);
            Drain(source);
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

const size_t kPieceSizes[] = {1, 2, 7, 40, 4096, RecordFileSource::kDefaultPieceSize};

class RecordSourceTest : public ::testing::Test {
  protected:
    SandboxEnv env;
};

// Text in every form a reader accepts: comments and blank lines between and inside sections,
// blanks around lines, keys and values, CRLF line ends, escapes, a repeated key, an empty
// section, a section far longer than the small pieces, no line end after the last line.
TEST_F(RecordSourceTest, PiecesGiveTheRecordsOfAWholeLoadWhereverTheyAreCut) {
    std::string longSection = "{\n";
    for (int i = 0; i < 300; ++i) longSection += "k" + std::to_string(i) + "=v\n";
    longSection += "}\n";
    const std::string database = "# saved by hand\n\n{\nID=3\ncalled=2001\nsrtp=1\nsrtp=0\n}\n" +
                                 longSection +
                                 "  {  \r\n  ID = 2 \r\n# inside\n\ncr=a\\nb\\x01\\\\\r\n}\r\n"
                                 "{\n}\n"
                                 "{\nID=1\ncaller=x=y\n}";
    const std::string log = "section\n{\ntype=2\nID=5\n}\n# between\n  section \n{\nID=4\n}\n";
    WriteFileAtomically("/db", database);
    WriteFileAtomically("/log", log);
    for (bool downloadLog : {false, true}) {
        const std::string path = downloadLog ? "/log" : "/db";
        const std::vector<RecordEntries> whole = Loaded(path, downloadLog);
        ASSERT_EQ(whole.size(), downloadLog ? 2u : 5u);
        for (size_t pieceSize : kPieceSizes) {
            RecordFileSource source(path, downloadLog, pieceSize);
            EXPECT_EQ(Drain(source), whole) << path << " in pieces of " << pieceSize;
            source.Rewind();
            EXPECT_EQ(Drain(source), whole) << path << " again, in pieces of " << pieceSize;
        }
    }
    RecordFileSource absent("/none", false);
    EXPECT_TRUE(Drain(absent).empty());
    absent.Rewind();
    EXPECT_TRUE(Drain(absent).empty());
}

// A fault far down the file is reported at its line in the whole file, as a load reports it.
TEST_F(RecordSourceTest, ErrorsNameTheLineOfTheWholeFile) {
    std::string good;
    for (int i = 0; i < 2000; ++i) good += "{\nID=" + std::to_string(i) + "\ncalled=2001\n}\n";
    // What follows the good records: a fault, then more records where the fault lets them be.
    const std::string faults[] = {
        "{\nID=x\n{\n}\n",                       // an opening line inside a section
        "ID=x\n{\nID=y\n}\n",                    // an entry outside a section
        "}\n{\nID=y\n}\n",                       // a closing line outside a section
        "{\nID=\\q\n}\n{\nID=y\n}\n",            // an unknown escape
        "{\nno separator\n}\n",                  // a line without "="
        "{\nID=y\n}\n{\nID=x\n",                 // a section left open at the end
        std::string("{\nID=\0\n}\n{\n}\n", 13),  // a NUL byte
    };
    for (const std::string& fault : faults) {
        WriteFileAtomically("/db", good + fault);
        const std::string expected = ReadError("/db", false);
        ASSERT_EQ(expected.compare(0, 7, "/db:800"), 0) << expected;
        for (size_t pieceSize : kPieceSizes)
            EXPECT_EQ(ReadError("/db", false, pieceSize), expected) << "pieces of " << pieceSize;
    }
    WriteFileAtomically("/log", "section\n{\nID=1\n}\nsection\nID=2\n");
    EXPECT_EQ(ReadError("/log", true), "/log:6: section word not followed by \"{\"");
    EXPECT_EQ(ReadError("/log", true, 3), ReadError("/log", true));
}

TEST_F(RecordSourceTest, ASecondPassReadsTheFileTheFirstReadEvenWhenItWasReplaced) {
    WriteFileAtomically("/db", "{\nID=2\n}\n{\nID=1\n}\n");
    RecordFileSource source("/db", false, 4);
    const std::vector<RecordEntries> first = Drain(source);
    WriteFileAtomically("/db", "{\nID=3\n}\n{\nID=2\n}\n{\nID=1\n}\n");  // as a save replaces it
    source.Rewind();
    EXPECT_EQ(Drain(source), first);
}

}  // namespace
