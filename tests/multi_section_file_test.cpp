#include "platform/multi_section_file.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/parse_error.h"
#include "support/test_env.h"

using Configuration::MultiSectionConfigFile;
using Configuration::MultiSectionFile;
using Configuration::ParseError;

namespace {

// A database file as the recorder opens it; `word` heads each section.
MultiSectionFile* Open(const std::string& path, const char* word = nullptr) {
    return new MultiSectionFile(path.c_str(), true, false, false, word, "{\n", "}\n", "=", "#",
                                nullptr);
}

MultiSectionConfigFile Memory(const char* word = nullptr, const char* endLine = nullptr) {
    return MultiSectionConfigFile(word, "{\n", "}\n", "=", "#", endLine);
}

std::string Entry(MultiSectionConfigFile& file, const char* key) {
    char buffer[256];
    return file.GetSectionEntry(key, buffer, sizeof buffer) ? buffer : "<absent>";
}

// The "ID" entries of all sections, first to last.
std::string Ids(MultiSectionConfigFile& file) {
    std::string ids;
    for (file.Restart(); file.GotoNextSection();) ids += Entry(file, "ID") + " ";
    return ids;
}

void AddRecord(MultiSectionConfigFile& file, unsigned id, bool front = true) {
    file.AddSection(front);
    file.AddSectionEntry("ID", std::to_string(id).c_str());
}

std::vector<std::string> HostileTexts() {
    std::vector<std::string> texts = {
        "",  " ",   "  lead",   "trail  ",    "\ttab\t",  "a=b=c",      "#not comment",
        "{", "}",   "section",  "two\nlines", "crlf\r\n", "back\\sl\\", "\\x41\\n",
        "=", "# x", "\x7f\x01", "h\xc3\xa4t", " = # { } "};
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte.push_back(static_cast<char>(c));
    texts.push_back(everyByte);
    return texts;
}

TEST(MultiSectionFileTest, AnyKeyAndValueWithoutNulReadsBackIdentical) {
    SandboxEnv env;
    const std::vector<std::string> texts = HostileTexts();
    for (const char* word : {static_cast<const char*>(nullptr), "section"}) {
        const std::string path = std::string("/db/") + (word != nullptr ? word : "plain");
        std::unique_ptr<MultiSectionFile> file(Open(path, word));
        for (int section = 0; section < 2; ++section) {
            file->AddSection(false);
            for (size_t i = 0; i < texts.size(); ++i)
                file->AddSectionEntry(texts[i].c_str(),
                                      texts[(i + section) % texts.size()].c_str());
        }
        file->Save(true, nullptr);
        std::unique_ptr<MultiSectionFile> reread(Open(path, word));
        ASSERT_EQ(2u, reread->GetSectionCount());
        reread->Restart();
        for (int section = 0; section < 2; ++section) {
            ASSERT_TRUE(reread->GotoNextSection());
            ASSERT_EQ(texts.size(), reread->GetEntryCount());
            for (size_t i = 0; i < texts.size(); ++i) {
                std::string key, value;
                ASSERT_TRUE(reread->GetEntry(i, &key, &value));
                EXPECT_EQ(texts[i], key) << "entry " << i;
                EXPECT_EQ(texts[(i + section) % texts.size()], value) << "entry " << i;
            }
        }
        EXPECT_EQ(file->Text(), reread->Text());
    }
}

TEST(MultiSectionFileTest, TextNotInTheFormatIsRejectedNamingFileAndLine) {
    SandboxEnv env;
    struct Case {
        std::string text;
        unsigned line;
        const char* word;
    } cases[] = {
        {"{\na=1\n", 1, nullptr},                       // never closed
        {"{\na=1\n}\n}\n", 4, nullptr},                 // closed twice
        {"{\n{\n}\n}\n", 2, nullptr},                   // nested
        {"# x\na=1\n", 2, nullptr},                     // entry outside a section
        {"section\n{\n}\n", 1, nullptr},                // word the file does not use
        {"{\nno separator\n}\n", 2, nullptr},           // line without "="
        {std::string("{\na=1\0\n}\n", 8), 2, nullptr},  // NUL byte
        {"{\na=\\q\n}\n", 2, nullptr},                  // unknown escape
        {"{\na=\\x00\n}\n", 2, nullptr},                // escaped NUL
        {"{\na=end\\\n}\n", 2, nullptr},                // lone backslash
        {"{\n\\y=1\n}\n", 2, nullptr},                  // bad escape in a key
        {"section\na=1\n", 2, "section"},               // word without brackets
        {"{\n}\nsection\n", 3, "section"},              // word at the end
    };
    for (const Case& c : cases) {
        WriteFileAtomically("/bad", c.text);
        try {
            std::unique_ptr<MultiSectionFile> file(Open("/bad", c.word));
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ParseError& e) {
            EXPECT_EQ(c.line, e.line()) << e.what();
            EXPECT_EQ(0u, std::string(e.what()).find("/bad:" + std::to_string(c.line) + ": "))
                << e.what();
        }
    }
}

TEST(MultiSectionFileTest, HandWrittenTextWithCommentsBlanksAndCrlfIsRead) {
    MultiSectionConfigFile file = Memory("section", "END");
    const std::string text =
        "# header\n\n  section \r\n{\r\n  key = value with spaces  \r\n# inside\n"
        "empty=\nk2=a=b\n}\n{\nlast=x\n}\nEND\nanything { at all";
    file.Parse(text.data(), text.size(), "text");
    ASSERT_EQ(2u, file.GetSectionCount());
    ASSERT_TRUE(file.GotoFirstSection());
    EXPECT_EQ("value with spaces", Entry(file, "key"));
    EXPECT_EQ("", Entry(file, "empty"));
    EXPECT_EQ("a=b", Entry(file, "k2"));
    ASSERT_TRUE(file.GotoLastSection());
    EXPECT_EQ("x", Entry(file, "last"));
    EXPECT_EQ("section\n{\nkey=value with spaces\nempty=\nk2=a=b\n}\nsection\n{\nlast=x\n}\nEND\n",
              file.Text());
}

TEST(MultiSectionFileTest, WalkingAddingAndDeletingSections) {
    MultiSectionConfigFile file = Memory();
    EXPECT_EQ(0, file.GotoFirstSection());
    EXPECT_EQ(0, file.GotoLastSection());
    EXPECT_EQ(0, file.Restart());
    EXPECT_EQ(0, file.GotoNextSection());
    EXPECT_EQ(0, file.AddSectionEntry("k", "v"));
    EXPECT_EQ(0, file.DeleteSection());

    for (unsigned id = 0; id < 6; ++id) AddRecord(file, id);
    AddRecord(file, 99, false);
    EXPECT_EQ("5 4 3 2 1 0 99 ", Ids(file));
    EXPECT_EQ(0, file.SetSectionEntry("k", "v"));  // walked past the end: none is current

    // Deleting while walking goes on with the section that followed.
    for (file.Restart(); file.GotoNextSection();) {
        if (atoi(Entry(file, "ID").c_str()) % 2 == 1) {
            EXPECT_EQ(1, file.DeleteSection());
        }
    }
    EXPECT_EQ("4 2 0 ", Ids(file));
    // Dropping the oldest, as trimming does.
    ASSERT_TRUE(file.GotoLastSection());
    file.DeleteSection();
    EXPECT_EQ("4 2 ", Ids(file));
    EXPECT_EQ(2u, file.GetSectionCount());
}

TEST(MultiSectionFileTest, EntriesKeepOrderAndSetReplacesTheFirst) {
    MultiSectionConfigFile file = Memory();
    file.AddSection(true);
    file.AddSectionEntry("srtp", "1");
    file.AddSectionEntry("mid", "m");
    file.AddSectionEntry("srtp", "2");
    file.SetSectionEntry("srtp", "a much longer value than before");
    file.SetSectionEntry("mid", "");
    file.SetSectionEntry("new", "n");
    EXPECT_EQ("{\nsrtp=a much longer value than before\nmid=\nsrtp=2\nnew=n\n}\n", file.Text());

    char buffer[4] = "xyz";
    EXPECT_EQ(1, file.GetSectionEntry("srtp", buffer, 0));
    EXPECT_STREQ("xyz", buffer);
    EXPECT_EQ(1, file.GetSectionEntry("srtp", buffer, sizeof buffer));
    EXPECT_STREQ("a m", buffer);
}

// A section that grows while it sits between others moves in memory; the list must follow it.
TEST(MultiSectionFileTest, GrowingAMiddleSectionKeepsTheListWhole) {
    MultiSectionConfigFile file = Memory();
    for (unsigned id = 0; id < 3; ++id) AddRecord(file, id);
    file.Restart();
    file.GotoNextSection();
    file.GotoNextSection();
    for (int i = 0; i < 500; ++i) file.AddSectionEntry("k", std::string(i % 50, 'v').c_str());
    file.SetSectionEntry("ID", "middle");
    EXPECT_EQ("2 middle 0 ", Ids(file));
    file.GotoLastSection();
    file.DeleteSection();
    file.GotoFirstSection();
    file.DeleteSection();
    EXPECT_EQ("middle ", Ids(file));
    ASSERT_TRUE(file.GotoLastSection());
    EXPECT_EQ(501u, file.GetEntryCount());
}

size_t BytesInUse() {
    return mallinfo2().uordblks;
}

// Resident memory per stored record stays near its size on disk, and a full database that takes
// a record and drops its oldest one keeps its memory flat.
TEST(MultiSectionFileTest, RecordsCostAboutTheirTextAndCycleWithoutGrowth) {
    const size_t before = BytesInUse();
    MultiSectionConfigFile file = Memory();
    auto addRecord = [&file](unsigned id) {
        file.AddSection(true);
        for (int e = 0; e < 30; ++e)
            file.AddSectionEntry(("key_" + std::to_string(e)).c_str(),
                                 ("value " + std::to_string(id * 31 + e)).c_str());
    };
    for (unsigned id = 0; id < 2000; ++id) addRecord(id);
    file.GotoLastSection();  // the newest gives back its spare room
    const size_t used = BytesInUse() - before;
    if (used == 0) GTEST_SKIP() << "allocator without statistics (sanitizer build)";
    const size_t onDisk = file.Text().size();
    EXPECT_LE(used * 2, onDisk * 3) << used << " bytes in memory for " << onDisk << " on disk";

    const size_t full = BytesInUse();
    for (unsigned id = 0; id < 2000; ++id) {
        addRecord(id);
        file.GotoLastSection();
        file.DeleteSection();
    }
    file.GotoLastSection();
    // Slack for the blocks the allocator keeps cached for reuse, which it counts as in use.
    EXPECT_LE(BytesInUse(), full + 64 * 1024);
    EXPECT_EQ(2000u, file.GetSectionCount());
}

TEST(MultiSectionFileTest, OpeningAndSavingFailuresAndOptions) {
    SandboxEnv env;
    EXPECT_THROW(
        MultiSectionFile("/absent", false, false, false, nullptr, "{\n", "}\n", "=", "#", nullptr),
        FileError);
    ASSERT_EQ(0, mkdir(env.Real("/folder").c_str(), 0755));
    EXPECT_THROW(Open("/folder"), FileError);  // exists, cannot be read as a file

    // Save creates missing folders and skips an unneeded write to its own file.
    std::unique_ptr<MultiSectionFile> file(Open("/a/b/c/db"));
    AddRecord(*file, 7);
    file->Save(true, nullptr);
    struct stat st;
    ASSERT_EQ(0, unlink(env.Real("/a/b/c/db").c_str()));
    file->Save(false, nullptr);
    EXPECT_NE(0, stat(env.Real("/a/b/c/db").c_str(), &st));
    file->Save(false, "/copy");

    MultiSectionFile readOnly("/copy", true, true, false, nullptr, "{\n", "}\n", "=", "#", nullptr);
    readOnly.ClearAll();
    EXPECT_THROW(readOnly.Save(true, nullptr), FileError);
    EXPECT_EQ("7 ", Ids(*std::unique_ptr<MultiSectionFile>(Open("/copy"))));
}

// Links planted beside the target (as its temporary file) or as the target itself are replaced,
// never written through.
TEST(MultiSectionFileTest, SaveNeverWritesThroughAPlantedLink) {
    SandboxEnv env;
    const std::string precious = "{\nID=9\n}\n";
    WriteFileAtomically("/victim", precious);
    const std::string victim = env.Real("/victim");
    ASSERT_EQ(0, symlink(victim.c_str(), env.Real("/db.tmp").c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), env.Real("/db").c_str()));
    std::unique_ptr<MultiSectionFile> file(Open("/db"));  // reads the victim through the link
    file->ClearAll();
    AddRecord(*file, 3);
    file->Save(true, nullptr);
    std::string text;
    ASSERT_TRUE(ReadWholeFile("/victim", &text));
    EXPECT_EQ(precious, text);
    struct stat st;
    ASSERT_EQ(0, lstat(env.Real("/db").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself is replaced";
    EXPECT_EQ("3 ", Ids(*std::unique_ptr<MultiSectionFile>(Open("/db"))));
}

// A writer killed at any moment of a save leaves either the old or the new file, whole.
TEST(MultiSectionFileTest, KilledWriterLeavesOneWholeContent) {
    SandboxEnv env;
    std::unique_ptr<MultiSectionFile> first(Open("/crash/db")), second(Open("/crash/db"));
    for (unsigned id = 0; id < 300; ++id) {
        first->AddSection(true);
        second->AddSection(true);
        for (int e = 0; e < 30; ++e) {
            first->AddSectionEntry("key", ("first " + std::to_string(id)).c_str());
            second->AddSectionEntry("other", ("second " + std::to_string(e)).c_str());
        }
    }
    first->Save(true, nullptr);
    srand(7);
    for (int round = 0; round < 30; ++round) {
        const pid_t writer = fork();
        ASSERT_NE(-1, writer);
        if (writer == 0) {
            try {
                for (;;) {
                    second->Save(true, nullptr);
                    first->Save(true, nullptr);
                }
            } catch (...) {
                _exit(1);
            }
        }
        usleep(1000 + rand() % 20000);
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        std::unique_ptr<MultiSectionFile> reread(Open("/crash/db"));
        const std::string text = reread->Text();
        EXPECT_TRUE(text == first->Text() || text == second->Text()) << "round " << round;
    }
}

}  // namespace
