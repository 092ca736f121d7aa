// cdrctl show: finding the record files as the recorder does, and printing their records so that
// a CSV reader, a JSON reader and a person get back exactly what the files hold.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/config/record_files.h"
#include "platform/util/file_util.h"
#include "support/cdrctl_run.h"
#include "support/test_env.h"

namespace {

using Record = std::vector<std::pair<std::string, std::string>>;
using Rows = std::vector<std::vector<std::string>>;

// A small RFC 4180 reader: quoted fields may hold commas, doubled quotes and line ends; every row
// ends in CRLF.
Rows ReadCsv(const std::string& text) {
    Rows rows(1, std::vector<std::string>(1));
    for (size_t at = 0; at < text.size(); ++at) {
        std::string& field = rows.back().back();
        if (text[at] == '"') {
            for (++at; !(text[at] == '"' && text[at + 1] != '"'); ++at) {
                if (text[at] == '"') ++at;
                field += text[at];
            }
        } else if (text[at] == ',') {
            rows.back().emplace_back();
        } else if (text.compare(at, 2, "\r\n") == 0) {
            ++at;
            if (at + 1 < text.size()) rows.emplace_back(1);
        } else {
            field += text[at];
        }
    }
    return rows;
}

class CdrctlShowTest : public ::testing::Test {
  protected:
    CdrctlShowTest() {
        setenv("VELK_PATH", "/conf/", 1);
        MakeDirs("/conf/telephony");
    }
    ~CdrctlShowTest() override { unsetenv("VELK_PATH"); }

    // Writes `records` (newest first) to the database or download log at the program's `path`.
    void WriteRecords(const std::string& path, const std::vector<Record>& records,
                      bool downloadLog = false) {
        auto file = downloadLog ? OpenDownloadLogFile(path.c_str(), false)
                                : OpenDatabaseFile(path.c_str(), false);
        for (const Record& record : records) {
            file->AddSection(false);
            for (const auto& entry : record)
                file->AddSectionEntry(entry.first.c_str(), entry.second.c_str());
        }
        file->Save(true, nullptr);
    }

    SandboxEnv env;
};

// Values that CSV and JSON must quote or escape, and bytes beyond ASCII.
const std::vector<Record> kAwkward = {
    {{"ID", "2"},
     {"called", "a,b"},
     {"caller", "say \"hi\""},
     {"cr", "two\nlines\r\nend"},
     {"auth_un", "Zo\xc3\xab \xe6\x9d\xb1"},
     {"srtp", "1"},
     {"srtp", "0"}},
    {{"ID", "1"}, {"called", ""}, {"fax_anamnesis", " pad\\ "}},
};

TEST_F(CdrctlShowTest, CsvReadsBackAsTheRecordsWere) {
    WriteRecords("/conf/telephony/CDR_db", kAwkward);
    CdrctlOutcome run = RunCdrctlCaptured({"show", "stated", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Rows expected = {
        {"ID", "called", "caller", "cr", "auth_un", "srtp", "srtp#2", "fax_anamnesis"},
        {"2", "a,b", "say \"hi\"", "two\nlines\r\nend", "Zo\xc3\xab \xe6\x9d\xb1", "1", "0", ""},
        {"1", "", "", "", "", "", "", " pad\\ "},
    };
    EXPECT_EQ(ReadCsv(run.out), expected) << run.out;
}

TEST_F(CdrctlShowTest, JsonLinesEscapeWhatJsonCannotHoldAndGroupRepeatedKeys) {
    WriteRecords("/conf/telephony/CDR_db",
                 {kAwkward[0], {{"ID", "0"}, {"cr", "\x01\x7f\\ \xff\xc3 \xed\xa0\x80"}}});
    CdrctlOutcome run = RunCdrctlCaptured({"show", "stated", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(
        run.out,
        "{\"ID\":\"2\",\"called\":\"a,b\",\"caller\":\"say \\\"hi\\\"\","
        "\"cr\":\"two\\nlines\\r\\nend\",\"auth_un\":\"Zo\xc3\xab \xe6\x9d\xb1\","
        "\"srtp\":[\"1\",\"0\"]}\n"
        // A lone byte past ASCII, a cut sequence and a surrogate become \u00HH each.
        "{\"ID\":\"0\",\"cr\":\"\\u0001\\u007f\\\\ \\u00ff\\u00c3 \\u00ed\\u00a0\\u0080\"}\n");
}

TEST_F(CdrctlShowTest, TableAlignsColumnsAndKeepsEachRecordOnOneLine) {
    WriteRecords("/conf/telephony/CDR_db",
                 {{{"ID", "10"}, {"called", "\xc3\xa9t\xc3\xa9"}, {"cr", "x\ny"}},
                  {{"ID", "9"}, {"hop", "1"}}});
    CdrctlOutcome run = RunCdrctlCaptured({"show", "stated"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "ID  called  cr    hop\n"
              "10  \xc3\xa9t\xc3\xa9     x\\ny\n"
              "9                 1\n");
}

TEST_F(CdrctlShowTest, FindsEachFileWhereTheRecorderKeepsIt) {
    WriteFileAtomically("/conf/general-paths.conf",
                        "cdr_db_missed=mine\ncdr_db_failed=/data/failed\n");
    WriteRecords("/conf/telephony/mine", {{{"ID", "5"}}, {{"ID", "4"}}, {{"ID", "3"}}});
    WriteRecords("/data/failed", {{{"ID", "7"}}});
    WriteRecords(kDownloadLogPath, {{{"type", "2"}, {"ID", "5"}}}, true);
    MakeDirs("/copy/telephony");
    WriteRecords("/copy/telephony/CDR_db", {{{"ID", "8"}}});

    EXPECT_EQ(RunCdrctlCaptured({"show", "missed", "--csv", "--limit", "2"}).out,
              "ID\r\n5\r\n4\r\n");
    EXPECT_EQ(RunCdrctlCaptured({"show", "failed", "--csv"}).out, "ID\r\n7\r\n");
    EXPECT_EQ(RunCdrctlCaptured({"show", "download", "--json"}).out,
              "{\"type\":\"2\",\"ID\":\"5\"}\n");
    EXPECT_EQ(RunCdrctlCaptured({"show", "stated", "--csv", "--root", "/copy"}).out, "ID\r\n8\r\n");
    EXPECT_EQ(RunCdrctlCaptured({"show", "missed", "--csv", "--file", "/data/failed"}).out,
              "ID\r\n7\r\n");
    // A database the recorder has not written yet has no records.
    CdrctlOutcome run = RunCdrctlCaptured({"show", "stated"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "no records in /conf/telephony/CDR_db\n");
    EXPECT_EQ(RunCdrctlCaptured({"show", "stated", "--json"}).out, "");
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

}  // namespace
