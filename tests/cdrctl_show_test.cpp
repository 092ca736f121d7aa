// cdrctl show: finding the record files as the recorder does, and printing their records so that
// a CSV reader, a JSON reader and a person get back exactly what the files hold.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/config/record_syntax.h"
#include "platform/util/file_util.h"
#include "state/record_files.h"
#include "state/record_journal.h"
#include "support/journal_formats.h"
#include "support/recorder_fixture.h"
#include "tools/record_source.h"

namespace {

// The first field of each CSV row, each followed by CRLF (the rows here hold no line breaks).
std::string FirstColumn(const std::string& csv) {
    std::string column;
    for (size_t at = 0, end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2)
        column += csv.substr(at, std::min(csv.find(',', at), end) - at) + "\r\n";
    return column;
}

class CdrctlShowTest : public ::testing::Test {
  protected:
    CdrctlShowTest() {
        setenv("VELK_PATH", "/conf/", 1);
        MakeDirs("/conf/telephony");
    }
    ~CdrctlShowTest() override { unsetenv("VELK_PATH"); }

    // Writes `records` (newest first) to the database or download log at the program's `path`.
    void WriteRecords(const std::string& path, const std::vector<Entries>& records,
                      bool downloadLog = false) {
        auto file = downloadLog ? OpenDownloadLogFile(path.c_str(), false)
                                : OpenDatabaseFile(path.c_str(), false);
        for (const Entries& record : records) {
            file->AddSection(false);
            for (const auto& entry : record)
                file->AddSectionEntry(entry.first.c_str(), entry.second.c_str());
        }
        file->Save(true, nullptr);
    }
    // What `cdrctl show` followed by `words` prints; expects it to succeed.
    std::string Show(const std::vector<std::string>& words) {
        std::vector<std::string> args = {"show"};
        args.insert(args.end(), words.begin(), words.end());
        const CdrctlOutcome run = RunCdrctlCaptured(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return run.out;
    }

    SandboxEnv env;
};

// Values that CSV and JSON must quote or escape, and bytes beyond ASCII.
const std::vector<Entries> kAwkward = {
    {{"ID", "2"},
     {"called", "a,b"},
     {"caller", "say \"hi\""},
     {"cr", "two\nlines\r\nend"},
     {"auth_un", "Zo\xc3\xab \xe6\x9d\xb1"},
     {"srtp", "1"},
     {"srtp", "0"}},
    {{"ID", "1"}, {"called", ""}, {"fax_anamnesis", " pad\\ "}},
};

TEST_F(CdrctlShowTest, CsvQuotesOnlyWhereAFieldNeedsItAndEndsRowsInCrlf) {
    WriteRecords("/conf/telephony/CDR_db", kAwkward);
    // RFC 4180: quoted where a comma, a quote or a line break needs it, rows ended by CRLF.
    EXPECT_EQ(Show({"stated", "--csv"}),
              "ID,called,caller,cr,auth_un,srtp,srtp#2,fax_anamnesis\r\n"
              "2,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\r\nend\",Zo\xc3\xab \xe6\x9d\xb1,1,0,\r\n"
              "1,,,,,,, pad\\ \r\n");
}

TEST_F(CdrctlShowTest, JsonLinesEscapeWhatJsonCannotHoldAndGroupRepeatedKeys) {
    WriteRecords("/conf/telephony/CDR_db",
                 {kAwkward[0], {{"ID", "0"}, {"cr", "\x01\x7f\\ \xff\xc3 \xed\xa0\x80"}}});
    EXPECT_EQ(
        Show({"stated", "--json"}),
        "{\"ID\":\"2\",\"called\":\"a,b\",\"caller\":\"say \\\"hi\\\"\","
        "\"cr\":\"two\\nlines\\r\\nend\",\"auth_un\":\"Zo\xc3\xab \xe6\x9d\xb1\","
        "\"srtp\":[\"1\",\"0\"]}\n"
        // A lone byte past ASCII, a cut sequence and an encoded surrogate are bytes, not text:
        // each becomes the lone surrogate U+DCHH, which no valid text holds.
        "{\"ID\":\"0\",\"cr\":\"\\u0001\\u007f\\\\ \\udcff\\udcc3 \\udced\\udca0\\udc80\"}\n");
}

// A number that would act on a terminal: a raw CSI byte, the same control encoded in UTF-8, and a
// right-to-left override that would reverse the rest of the line.
const std::string kHostileCaller =
    "12\x9b"
    "31m34\xc2\x9b"
    "2J\xe2\x80\xae"
    "987";

TEST_F(CdrctlShowTest, TerminalControlsAreEscapedForPeopleAndKeptForMachines) {
    WriteRecords(
        "/conf/telephony/CDR_db",
        {{{"ID", "1"}, {"caller", kHostileCaller}, {"called", "\xe2\x81\xa6x\n\x1b\x7f"}}});
    const std::string escaped = "12\\x9b31m34\\u009B2J\\u202E987";
    // Column widths count the escaped text, so the header lines up with it; a line break in a
    // value keeps the record on one line.
    EXPECT_EQ(Show({"stated", "--wide"}), "ID  caller" + std::string(escaped.size() - 6 + 2, ' ') +
                                              "called\n1   " + escaped +
                                              "  \\u2066x\\n\\x1b\\x7f\n");
    const std::string summary = Show({"stated"});
    EXPECT_NE(summary.find(escaped + "  \\u2066x\\n\\x1b\\x7f\n"), std::string::npos) << summary;
    EXPECT_EQ(Show({"stated", "--json"}),
              "{\"ID\":\"1\",\"caller\":\"12\\udc9b31m34\\u009b2J\\u202e987\","
              "\"called\":\"\\u2066x\\n\\u001b\\u007f\"}\n");
    // CSV into a file or a pipe holds the bytes as stored.
    EXPECT_EQ(Show({"stated", "--csv"}),
              "ID,caller,called\r\n1," + kHostileCaller + ",\"\xe2\x81\xa6x\n\x1b\x7f\"\r\n");
}

// Central European time, so local and UTC times differ.
class CdrctlShowLocalTimeTest : public CdrctlShowTest {
  protected:
    // Stated calls at 2023-01-15 10:00:00 (winter) and 2023-07-01 23:30:00 (summer) local time,
    // and a failed call of unknown start, newest first.
    void WriteCalls() {
        WriteRecords("/conf/telephony/CDR_db",
                     {{{"ID", "3"}, {"ST", "-1"}, {"dur", "0"}, {"called", "5550100"}},
                      {{"ID", "2"},
                       {"ST", "1688247000"},
                       {"dur", "3725"},
                       {"called", "+49 30 1234567 (Alice Example, Sales)"},
                       {"caller", std::string(70, 'c')},
                       {"rx_pkt", "990"},
                       {"rx_enc", "G.711 A-law"},
                       {"rx_lost", "10"}},
                      {{"ID", "1"},
                       {"ST", "1673773200"},
                       {"dur", "59"},
                       {"called", "2001"},
                       {"caller", "1001"},
                       {"tx_pkt", "5"},
                       {"tx_enc", "Opus"}}});
    }

    LocalZoneEnv mZoned;  // the sandbox, read in the local zone
};

TEST_F(CdrctlShowLocalTimeTest, LocalStartsInSummaryAndCsvAndTheWidestCellsCut) {
    WriteCalls();
    const std::string shown = Show({"stated"});
    // The widest cells (caller, then called) are cut to fit; the codec falls back to the sent one.
    const std::string cut = "\xe2\x80\xa6";
    EXPECT_EQ(
        shown,
        "ID  start                duration  caller                  called                  "
        "codec        loss\n"
        "3                        0:00:00                           5550100\n"
        "2   2023-07-01 23:30:00  1:02:05   " +
            std::string(21, 'c') + cut + "  +49 30 1234567 (Alice" + cut +
            "  G.711 A-law  1.0%\n"
            "1   2023-01-15 10:00:00  0:00:59   1001                    2001                    "
            "Opus\n");

    // CSV adds the local start in ISO 8601 beside the raw one.
    const std::string csv = Show({"stated", "--csv"});
    EXPECT_EQ(0u, csv.find("ID,ST,start_iso,")) << csv;
    EXPECT_NE(std::string::npos, csv.find("\r\n3,-1,,")) << "unknown start: " << csv;
    EXPECT_NE(std::string::npos, csv.find("\r\n2,1688247000,2023-07-01T23:30:00+02:00,")) << csv;
    EXPECT_NE(std::string::npos, csv.find("\r\n1,1673773200,2023-01-15T10:00:00+01:00,")) << csv;
}

TEST_F(CdrctlShowLocalTimeTest, TimeAndPartyFiltersApplyToEveryFormatBeforeTheLimit) {
    WriteCalls();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--since", "2023-07-01"}, "ID\r\n2\r\n"},
        {{"--since", "2023-07-01 23:30:01"}, ""},
        {{"--until", "2023-07-01T23:30"}, "ID\r\n1\r\n"},
        {{"--since", "2023-01-15 10:00:00", "--until", "2023-01-15 10:00:01"}, "ID\r\n1\r\n"},
        {{"--match", "Alice"}, "ID\r\n2\r\n"},
        {{"--match", "1001"}, "ID\r\n1\r\n"},
        {{"--match", "0", "--limit", "2"}, "ID\r\n3\r\n2\r\n"},
        {{"--match", "0", "--until", "2023-12-31", "--limit", "1"}, "ID\r\n2\r\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"stated", "--csv"};
        args.insert(args.end(), c.first.begin(), c.first.end());
        EXPECT_EQ(FirstColumn(Show(args)), c.second) << c.first[0] << " " << c.first[1];
    }
    EXPECT_EQ(Show({"stated", "--json", "--match", "1001"}),
              "{\"ID\":\"1\",\"ST\":\"1673773200\",\"start_iso\":\"2023-01-15T10:00:00+01:00\","
              "\"dur\":\"59\",\"called\":\"2001\",\"caller\":\"1001\",\"tx_pkt\":\"5\","
              "\"tx_enc\":\"Opus\"}\n");
}

TEST_F(CdrctlShowLocalTimeTest, RelativeBoundsCountBackFromNowAndBadTimesAreRefused) {
    const long long now = time(nullptr);
    WriteRecords("/conf/telephony/CDR_db",
                 {{{"ID", "2"}, {"ST", std::to_string(now - 3600)}},
                  {{"ID", "1"}, {"ST", std::to_string(now - 3 * 86400)}}});
    EXPECT_EQ("ID\r\n2\r\n", FirstColumn(Show({"stated", "--csv", "--since", "-2h"})));
    EXPECT_EQ("ID\r\n2\r\n1\r\n", FirstColumn(Show({"stated", "--csv", "--since", "-7d"})));
    EXPECT_EQ("ID\r\n1\r\n", FirstColumn(Show({"stated", "--csv", "--until", "-90m"})));
    for (const char* bad : {"2023-02-29", "2023-13-01", "2023-1-01", "2023-01-01 24:00",
                            "2023-01-01x10:00", "-2", "-2w", "- 2h", "yesterday", ""}) {
        CdrctlOutcome run = RunCdrctlCaptured({"show", "stated", "--since", bad});
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_TRUE(run.err.find("bad time") != std::string::npos ||
                    run.err.find("--since needs a value") != std::string::npos)
            << run.err;
    }
}

TEST_F(CdrctlShowTest, FindsEachFileWhereTheRecorderKeepsIt) {
    WriteFileAtomically("/conf/general-paths.conf",
                        "cdr_db_missed=mine\ncdr_db_failed=/data/failed\n");
    WriteRecords("/conf/telephony/mine", {{{"ID", "5"}}, {{"ID", "4"}}, {{"ID", "3"}}});
    WriteRecords("/data/failed", {{{"ID", "7"}}});
    WriteRecords(kDownloadLogPath, {{{"type", "2"}, {"ID", "5"}}}, true);
    MakeDirs("/copy/telephony");
    WriteRecords("/copy/telephony/CDR_db", {{{"ID", "8"}}});

    EXPECT_EQ(Show({"missed", "--csv", "--limit", "2"}), "ID\r\n5\r\n4\r\n");
    EXPECT_EQ(Show({"failed", "--csv"}), "ID\r\n7\r\n");
    EXPECT_EQ(Show({"download", "--json"}), "{\"type\":\"2\",\"ID\":\"5\"}\n");
    EXPECT_EQ(Show({"stated", "--csv", "--root", "/copy"}), "ID\r\n8\r\n");
    EXPECT_EQ(Show({"missed", "--csv", "--file", "/data/failed"}), "ID\r\n7\r\n");
    // A database the recorder has not written yet has no records.
    EXPECT_EQ(Show({"stated"}), "no records in /conf/telephony/CDR_db\n");
    EXPECT_EQ(Show({"stated", "--json"}), "");
}

// The records only in the journal (not yet saved) are shown after those of the file, whichever
// format the journal was written in.
TEST_F(CdrctlShowTest, ShowsTheRecordsOnlyInTheJournalOfEitherFormat) {
    const char kJournal[] = "/conf/telephony/cdr.journal";
    WriteRecords("/conf/telephony/CDR_db", {{{"ID", "1"}}, {{"ID", "0"}}});
    {
        RecordJournal::Writer writer(kJournal);
        writer.Open(RecordJournal::Contents());
        for (uint32_t id = 0; id < 3; ++id) {
            RecordJournal::Entry entry;
            entry.type = 1;
            entry.id = id;
            entry.payload = "{\nID=" + std::to_string(id) + "\n}\n";
            writer.Append(&entry, 1);
        }
    }
    std::string journal;
    ASSERT_TRUE(ReadWholeFile(kJournal, &journal));
    for (const std::string& bytes : {journal, AsFirstFormat(journal)}) {
        WriteFileAtomically(kJournal, bytes);
        const CdrctlOutcome run = RunCdrctlCaptured({"show", "stated", "--csv"});
        EXPECT_EQ("", run.err);
        EXPECT_EQ("ID\r\n2\r\n1\r\n0\r\n", run.out);
    }
}

TEST_F(CdrctlShowTest, UnreadableFilesExitWith1NamingFileAndLine) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"show", "stated"}, "cdrctl: /conf/telephony/CDR_db:3: "},
        {{"show", "missed"}, "cdrctl: open /conf/general-paths.conf: a folder, not a regular"},
        {{"show", "stated", "--root", "/nowhere"}, "cdrctl: open configuration root /nowhere/"},
    };
    WriteFileAtomically("/conf/telephony/CDR_db", "{\nID=1\n{\n");
    for (const auto& c : cases) {
        if (c.first[1] == "missed") MakeDirs("/conf/general-paths.conf");
        CdrctlOutcome run = RunCdrctlCaptured(c.first);
        EXPECT_EQ(run.status, 1) << c.second;
        EXPECT_EQ(run.err.compare(0, c.second.size(), c.second), 0) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// Notes the largest read any file was asked for.
class LargestReadEnv : public ScopedEnv {
  public:
    ssize_t Read(int fd, void* data, size_t size) override {
        largest = std::max(largest, size);
        return ScopedEnv::Read(fd, data, size);
    }
    size_t largest = 0;
};

size_t LineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A file several times the size of the pieces it is read in: every format reads it piece by
// piece, and the widths and keys of the last record still shape the first lines.
TEST_F(CdrctlShowTest, ALargeFileIsReadInPiecesAndItsLastRecordStillShapesTheHeaders) {
    const size_t kRecords = 3000;
    std::vector<Entries> records;
    for (size_t i = kRecords - 1; i > 0; --i)
        records.push_back(
            {{"ID", std::to_string(i)}, {"called", "2001"}, {"cr", std::string(300, 'c')}});
    records.push_back({{"ID", "0"}, {"called", std::string(40, 'x')}, {"late", "1"}});
    WriteRecords("/conf/telephony/CDR_db", records);
    ASSERT_GT(ReadRealFile(env.Real("/conf/telephony/CDR_db")).size(),
              3 * RecordFileSource::kDefaultPieceSize);

    LargestReadEnv reads;
    const std::string csv = Show({"stated", "--csv"});
    EXPECT_EQ(csv.substr(0, csv.find('\n') + 1), "ID,called,cr,late\r\n");
    EXPECT_EQ(csv.substr(csv.rfind("\r\n0,")), "\r\n0," + std::string(40, 'x') + ",,1\r\n");
    EXPECT_EQ(LineCount(csv), kRecords + 1);
    const std::string wide = Show({"stated", "--wide"});
    EXPECT_EQ(wide.substr(0, wide.find('\n') + 1),
              "ID    called" + std::string(36, ' ') + "cr" + std::string(300, ' ') + "late\n");
    EXPECT_EQ(LineCount(wide), kRecords + 1);
    EXPECT_EQ(LineCount(Show({"stated"})), kRecords + 1);
    EXPECT_EQ(LineCount(Show({"stated", "--json"})), kRecords);
    EXPECT_EQ(Show({"stated", "--json", "--limit", "1"}),
              "{\"ID\":\"2999\",\"called\":\"2001\",\"cr\":\"" + std::string(300, 'c') + "\"}\n");
    EXPECT_LE(reads.largest, RecordFileSource::kDefaultPieceSize);
}

// The limit cuts what is printed, not what is read: damage past it is still reported.
TEST_F(CdrctlShowTest, DamagePastTheLimitStillExitsWith1) {
    WriteFileAtomically("/conf/telephony/CDR_db", "{\nID=2\n}\n{\nID=1\n");
    const std::string error = "cdrctl: /conf/telephony/CDR_db:4: section not closed\n";
    for (const char* format : {"--csv", "--wide", "--json"}) {
        CdrctlOutcome run = RunCdrctlCaptured({"show", "stated", format, "--limit", "1"});
        EXPECT_EQ(run.status, 1) << format;
        EXPECT_EQ(run.err, error) << format;
        // JSON lines are written as the file is read, and may have begun; the others wait for
        // their first pass.
        if (std::string(format) != "--json") {
            EXPECT_EQ(run.out, "") << format;
        }
    }
}

}  // namespace
