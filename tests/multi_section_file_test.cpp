#include "platform/config/multi_section_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/config/config_text.h"
#include "platform/config/parse_error.h"
#include "platform/util/file_util.h"
#include "support/test_env.h"

using Configuration::MultiSectionConfigFile;
using Configuration::MultiSectionFile;
using Configuration::ParseError;

namespace {

// A database file as the recorder opens it; `word` heads each section.
std::unique_ptr<MultiSectionFile> Open(const std::string& path, const char* word = nullptr,
                                       bool readOnly = false, bool ownerOnly = false) {
    return std::make_unique<MultiSectionFile>(path.c_str(), true, readOnly, ownerOnly, word, "{\n",
                                              "}\n", "=", "#", nullptr);
}

std::string Entry(MultiSectionConfigFile& file, const char* key) {
    char buffer[4096];
    return file.GetSectionEntry(key, buffer, sizeof buffer) ? buffer : "<absent>";
}

// The "ID" entries of all sections, first to last.
std::string Ids(MultiSectionConfigFile& file) {
    std::string ids;
    for (file.Restart(); file.GotoNextSection();) ids += Entry(file, "ID") + " ";
    return ids;
}

void AddRecord(MultiSectionConfigFile& file, const std::string& id, bool front = true) {
    file.AddSection(front);
    file.AddSectionEntry("ID", id.c_str());
}

TEST(MultiSectionFileTest, AnyKeyAndValueWithoutNulReadsBackIdentical) {
    SandboxEnv env;
    std::vector<std::string> texts = {"",           " ",        "  lead",       "trail  ",
                                      "\ttab\t",    "a=b=c",    "#not comment", "{",
                                      "}",          "section",  "two\nlines",   "crlf\r\n",
                                      "back\\sl\\", "\\x41\\n", " = # { } ",    "h\xc3\xa4t"};
    texts.emplace_back();
    for (int c = 1; c < 256; ++c) texts.back().push_back(static_cast<char>(c));
    // Lines longer than any read buffer, plain and escaped.
    texts.push_back(std::string(100000, 'v'));
    texts.push_back("a\\b\nc" + std::string(5000, 'w'));
    for (const char* word : {static_cast<const char*>(nullptr), "section"}) {
        const std::string path = std::string("/db/") + (word != nullptr ? word : "plain");
        std::unique_ptr<MultiSectionFile> file = Open(path, word);
        file->AddSection(false);
        for (size_t i = 0; i < texts.size(); ++i)
            file->AddSectionEntry(texts[i].c_str(), texts[texts.size() - 1 - i].c_str());
        AddRecord(*file, "second", false);
        file->Save(true, nullptr);

        std::unique_ptr<MultiSectionFile> reread = Open(path, word);
        ASSERT_EQ(2u, reread->GetSectionCount());
        ASSERT_TRUE(reread->GotoFirstSection());
        ASSERT_EQ(texts.size(), reread->GetEntryCount());
        for (size_t i = 0; i < texts.size(); ++i) {
            std::string key, value;
            ASSERT_TRUE(reread->GetEntry(i, &key, &value));
            EXPECT_EQ(texts[i], key) << "entry " << i;
            EXPECT_EQ(texts[texts.size() - 1 - i], value) << "entry " << i;
        }
        EXPECT_EQ(file->Text(), reread->Text());
    }
}

// The download log takes a record's lines copied whole from its database: they must read as if
// added there one by one, escapes and long lines included. A file that writes entries otherwise
// takes nothing.
TEST(MultiSectionFileTest, EntriesCopiedFromAnotherFileReadAsIfAddedThere) {
    SandboxEnv env;
    const std::vector<std::string> texts = {
        "ID", "7", " lead", "a=b", "two\nlines", "#x", std::string(5000, 'w')};
    std::unique_ptr<MultiSectionFile> database = Open("/db/plain");
    std::unique_ptr<MultiSectionFile> copied = Open("/db/copied", "section");
    std::unique_ptr<MultiSectionFile> direct = Open("/db/direct", "section");
    database->AddSection(true);
    for (MultiSectionFile* log : {copied.get(), direct.get()}) {
        AddRecord(*log, "older");
        log->AddSection(true);
        log->AddSectionEntry("type", "1");
    }
    for (size_t i = 0; i + 1 < texts.size(); i += 2) {
        database->AddSectionEntry(texts[i].c_str(), texts[i + 1].c_str());
        direct->AddSectionEntry(texts[i].c_str(), texts[i + 1].c_str());
    }
    EXPECT_EQ(1, copied->AddSectionEntriesOf(*database));
    EXPECT_EQ(direct->Text(), copied->Text());
    MultiSectionFile other("/db/other", true, false, false, nullptr, "{\n", "}\n", ":", "#",
                           nullptr);
    other.AddSection(true);
    EXPECT_EQ(0, other.AddSectionEntriesOf(*database));
    EXPECT_EQ(0u, other.GetEntryCount());
}

// Entries written straight into a section read back as given: escaped entries first, between and
// last, numbers and entries vouched plain among them, more than the section's room (it moves), in
// a section still in the loaded text.
TEST(MultiSectionFileTest, AppendedEntriesReadBackAsGiven) {
    using Appender = MultiSectionConfigFile::EntryAppender;
    const std::vector<std::pair<std::string, std::string>> checked = {{"a=b", "1"},
                                                                      {"called", " lead"},
                                                                      {"k", std::string(3000, 'w')},
                                                                      {"#c", ""},
                                                                      {"trail ", "two\nlines"}};
    const std::string loaded = "{\nold=1\n}\n{\nolder=2\n}\n";
    MultiSectionConfigFile file(nullptr, "{\n", "}\n", "=", "#", nullptr);
    EXPECT_THROW(Appender{&file}, std::logic_error);  // no section current
    file.Parse(loaded.data(), loaded.size(), "text");
    file.GotoLastSection();
    {
        Appender out(&file);
        out.Checked(checked[0].first, checked[0].second);
        out.Number("ID", 18446744073709551615ull);
        out.Checked(checked[1].first, checked[1].second);
        out.Plain("codec", "G.711 u-law");
        out.Checked(checked[2].first, checked[2].second);
        out.SignedNumber("ST", -2147483648ll);
        out.Checked(checked[3].first, checked[3].second);
        out.Checked(checked[4].first, checked[4].second);
    }
    MultiSectionConfigFile reread(nullptr, "{\n", "}\n", "=", "#", nullptr);
    const std::string text = file.Text();
    reread.Parse(text.data(), text.size(), "written");
    reread.GotoLastSection();
    EXPECT_EQ(9u, reread.GetEntryCount());
    for (const auto& entry : checked) EXPECT_EQ(entry.second, Entry(reread, entry.first.c_str()));
    EXPECT_EQ("18446744073709551615", Entry(reread, "ID"));
    EXPECT_EQ("G.711 u-law", Entry(reread, "codec"));
    EXPECT_EQ("-2147483648", Entry(reread, "ST"));
}

// Keys and values of every length up to three words with one byte that needs escaping (or none)
// at each place: the line written is the escaping writer's, whichever word the byte falls in. A
// raw control byte anywhere in a loaded line sends the load to the full check: the line reads
// back as written and is saved escaped.
TEST(MultiSectionFileTest, EntriesAreWrittenAsTheEscapingWriterWritesThem) {
    SandboxEnv env;
    std::unique_ptr<MultiSectionFile> file = Open("/db/escapes");
    const std::string special = "\n\t\\\x7f\x01\x1f= #";
    std::string expected;
    auto add = [&](const std::string& key, const std::string& value) {
        file->AddSectionEntry(key.c_str(), value.c_str());
        std::string line;
        Configuration::AppendEscaped(&line, key.c_str(), '=', '#');
        line += '=';
        Configuration::AppendEscaped(&line, value.c_str(), '\0', '\0');
        expected += line + "\n";
    };
    auto load = [](const std::string& value) {
        const std::string before = "{\nID=1\n}\n{\nkey=", text = before + value + "\n}\n";
        MultiSectionConfigFile loaded(nullptr, "{\n", "}\n", "=", "#", nullptr);
        loaded.Parse(text.data(), text.size(), "text");
        std::string escaped = before;
        Configuration::AppendEscaped(&escaped, value.c_str(), '\0', '\0');
        EXPECT_EQ(escaped + "\n}\n", loaded.Text()) << value;
    };
    file->AddSection(false);
    for (size_t size = 0; size <= 24; ++size) {
        const std::string plain(size, 'a');
        add(plain, plain);
        for (size_t at = 0; at < size; ++at) {
            for (char c : special) {
                std::string odd = plain;
                odd[at] = c;
                add(odd, "v");
                add("k", odd);
                if (c == '\x01' || c == '\x1f' || c == '\x7f') load(odd);
            }
        }
    }
    EXPECT_EQ("{\n" + expected + "}\n", file->Text());
}

// A loaded file keeps its sections as they stand in it; edits, deletions and new sections around
// them (more than one system write takes) must still save as exactly the text of the content.
TEST(MultiSectionFileTest, LoadedEditedAndNewSectionsSaveAsTheirText) {
    SandboxEnv env;
    WriteFileAtomically("/mixed",
                        "{\nID=1\n}\n# note\n{\nID=2\n# inside\n}\n{\nID=3\n}\n{\nID=4\n}\n");
    std::unique_ptr<MultiSectionFile> file(Open("/mixed"));
    MultiSectionConfigFile expected(nullptr, "{\n", "}\n", "=", "#", nullptr);
    for (const char* id : {"1", "2", "3", "4"}) AddRecord(expected, id, false);
    EXPECT_EQ(expected.Text(), file->Text());  // the section with a comment is rebuilt

    MultiSectionConfigFile* const both[] = {file.get(), &expected};
    for (MultiSectionConfigFile* edited : both) {
        edited->Restart();
        edited->GotoNextSection();
        edited->GotoNextSection();
        edited->SetSectionEntry("ID", "two");
        edited->AddSectionEntry("k", "v");
        edited->GotoNextSection();
        edited->DeleteSection();
        for (int id = 5; id < 1500; ++id) AddRecord(*edited, std::to_string(id), id % 7 != 0);
    }
    file->Save(true, nullptr);
    std::string saved;
    ASSERT_TRUE(ReadWholeFile("/mixed", &saved));
    EXPECT_EQ(expected.Text(), saved);
    EXPECT_EQ(saved, Open("/mixed")->Text());
}

// (The faults a record file can hold are RecordSourceTest's too; these are the rest.)
TEST(MultiSectionFileTest, TextNotInTheFormatIsRejectedNamingFileAndLine) {
    SandboxEnv env;
    const struct {
        std::string text;
        unsigned line;
        const char* word;
    } cases[] = {
        {"{\na=1\n}\n}\n", 4, nullptr},     // closed twice
        {"section\n{\n}\n", 1, nullptr},    // word the file does not use
        {"{\na=\\x00\n}\n", 2, nullptr},    // escaped NUL
        {"{\na=end\\\n}\n", 2, nullptr},    // lone backslash
        {"section\na=1\n", 2, "section"},   // word without brackets
        {"{\n}\nsection\n", 3, "section"},  // word at the end
    };
    for (const auto& c : cases) {
        WriteFileAtomically("/bad", c.text);
        try {
            Open("/bad", c.word);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ParseError& e) {
            EXPECT_EQ(c.line, e.line()) << e.what();
            EXPECT_EQ(0u, std::string(e.what()).find("/bad:" + std::to_string(c.line) + ": "))
                << e.what();
        }
    }
}

TEST(MultiSectionFileTest, HandWrittenTextWithCommentsBlanksAndCrlfIsRead) {
    MultiSectionConfigFile file("section", "{\n", "}\n", "=", "#", "END");
    const std::string text =
        "# header\n\n  section \r\n{\r\n  key = value with spaces  \r\n# inside\n"
        "empty=\nk2=a=b\n}\n{\nlast=x\n}\nEND\nanything { at all";
    file.Parse(text.data(), text.size(), "text");
    EXPECT_EQ("section\n{\nkey=value with spaces\nempty=\nk2=a=b\n}\nsection\n{\nlast=x\n}\nEND\n",
              file.Text());
}

TEST(MultiSectionFileTest, SectionsKeepTheirOrderThroughDeletesWhileWalkingAndGrowth) {
    MultiSectionConfigFile file(nullptr, "{\n", "}\n", "=", "#", nullptr);
    // With no section current, nothing is edited.
    EXPECT_EQ(0, file.GotoFirstSection() + file.GotoLastSection() + file.GotoNextSection() +
                     file.AddSectionEntry("k", "v") + file.DeleteSection());

    for (int id = 0; id < 6; ++id) AddRecord(file, std::to_string(id));
    AddRecord(file, "99", false);
    EXPECT_EQ("5 4 3 2 1 0 99 ", Ids(file));
    EXPECT_EQ(0, file.SetSectionEntry("k", "v"));  // walked past the end

    // Deleting while walking goes on with the section that followed.
    for (file.Restart(); file.GotoNextSection();)
        EXPECT_TRUE(atoi(Entry(file, "ID").c_str()) % 2 == 0 || file.DeleteSection() == 1);
    EXPECT_EQ("4 2 0 ", Ids(file));

    // A middle section that grows moves in memory; the list must follow it.
    file.Restart();
    file.GotoNextSection();
    file.GotoNextSection();
    for (int i = 0; i < 500; ++i) file.AddSectionEntry("k", std::string(i % 50, 'v').c_str());
    file.SetSectionEntry("ID", "middle");
    file.SetSectionEntry("new", "n");
    EXPECT_EQ("4 middle 0 ", Ids(file));
    file.GotoLastSection();  // dropping the oldest, as trimming does
    file.DeleteSection();
    file.GotoFirstSection();
    file.DeleteSection();
    EXPECT_EQ("middle ", Ids(file));
    ASSERT_TRUE(file.GotoLastSection());
    EXPECT_EQ(502u, file.GetEntryCount());
    EXPECT_EQ(1u, file.GetSectionCount());
}

// A value longer than the caller's buffer is cut to it, never written past it.
TEST(MultiSectionFileTest, GetCutsToTheBuffer) {
    MultiSectionConfigFile file(nullptr, "{\n", "}\n", "=", "#", nullptr);
    AddRecord(file, "a much longer value than the buffer");
    char buffer[4] = "xyz";
    EXPECT_EQ(1, file.GetSectionEntry("ID", buffer, 0));
    EXPECT_STREQ("xyz", buffer);
    EXPECT_EQ(1, file.GetSectionEntry("ID", buffer, sizeof buffer));
    EXPECT_STREQ("a m", buffer);
}

// Save creates missing folders, skips an unneeded write to its own file, and a file opened
// read-only refuses to save.
TEST(MultiSectionFileTest, SaveMakesFoldersSkipsUnneededWritesAndRefusesWhenReadOnly) {
    SandboxEnv env;
    std::unique_ptr<MultiSectionFile> file = Open("/a/b/c/db", nullptr, false, true);
    AddRecord(*file, "7");
    file->Save(true, nullptr);
    struct stat st;
    ASSERT_EQ(0, stat(env.Real("/a/b/c/db").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, unlink(env.Real("/a/b/c/db").c_str()));
    file->Save(false, nullptr);
    EXPECT_NE(0, stat(env.Real("/a/b/c/db").c_str(), &st));
    file->Save(false, "/copy");

    std::unique_ptr<MultiSectionFile> readOnly = Open("/copy", nullptr, true);
    readOnly->ClearAll();
    EXPECT_THROW(readOnly->Save(true, nullptr), FileError);
    EXPECT_EQ("7 ", Ids(*Open("/copy")));
}

// Links planted beside the target (as its temporary file) or as the target itself, by another user,
// are replaced, never written through.
TEST(MultiSectionFileTest, SaveNeverWritesThroughAPlantedLink) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can plant a link owned by another user";
    SandboxEnv env;
    const std::string precious = "{\nID=9\n}\n";
    WriteFileAtomically("/victim", precious);
    const std::string victim = env.Real("/victim");
    ASSERT_EQ(0, symlink(victim.c_str(), env.Real("/db.tmp").c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), env.Real("/db").c_str()));
    ASSERT_EQ(0, lchown(env.Real("/db").c_str(), 65534, 65534));
    std::unique_ptr<MultiSectionFile> file(Open("/db"));  // reads the victim through the link
    file->ClearAll();
    AddRecord(*file, "3");
    file->Save(true, nullptr);
    std::string text;
    ASSERT_TRUE(ReadWholeFile("/victim", &text));
    EXPECT_EQ(precious, text);
    struct stat st;
    ASSERT_EQ(0, lstat(env.Real("/db").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself is replaced";
    EXPECT_EQ("3 ", Ids(*std::unique_ptr<MultiSectionFile>(Open("/db"))));
}

}  // namespace
