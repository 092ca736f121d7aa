#include "platform/statistics/outbox_trust.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/statistics/outbox.h"
#include "platform/util/file_util.h"
#include "support/test_env.h"

namespace {

const uid_t kStranger = 65534;

// Reports the files whose inodes the test marks as another user's.
class OwnersEnv : public ScopedEnv {
  public:
    void GiveAway(const std::string& realPath) {
        struct stat status;
        ASSERT_EQ(0, lstat(realPath.c_str(), &status)) << realPath;
        mForeign.insert(status.st_ino);
    }
    int Lstat(const char* path, struct stat* info) override {
        return Owned(ScopedEnv::Lstat(path, info), info);
    }
    int Stat(const char* path, struct stat* info) override {
        return Owned(ScopedEnv::Stat(path, info), info);
    }
    int Fstat(int fd, struct stat* info) override {
        return Owned(ScopedEnv::Fstat(fd, info), info);
    }

  private:
    int Owned(int result, struct stat* info) {
        if (result == 0 && mForeign.count(info->st_ino) != 0) info->st_uid = kStranger;
        return result;
    }
    std::set<ino_t> mForeign;
};

class OutboxTrustTest : public ::testing::Test {
  protected:
    OutboxTrustTest() {
        mSandbox.SetTime(1800000000, 0);
        mOwners.reset(new OwnersEnv);
        MakeDirs("/outbox");
        WriteFileAtomically("/root-only", "secret\n");
    }
    std::string Real(const std::string& path) const { return mSandbox.Real(path); }
    void Plant(const std::string& name, const std::string& text = "section\n{\ntype=1\n}\n") {
        WriteFileAtomically("/outbox/" + name, text);
    }
    void PlantLink(const std::string& name, const std::string& target) {
        ASSERT_EQ(0, symlink(Real(target).c_str(), Real("/outbox/" + name).c_str()));
    }
    std::string Add() {
        const std::string path = Outbox("/outbox/", "dev").Add("section\n{\ntype=1\n}\n", 1 << 20);
        return path.substr(path.rfind('/') + 1);
    }
    std::vector<std::string> Listed(std::vector<RefusedFile>* refused = nullptr) {
        std::vector<std::string> names;
        for (const OutboxFile& file : Outbox("/outbox/").Files(refused)) names.push_back(file.name);
        return names;
    }

    SandboxEnv mSandbox;
    std::unique_ptr<OwnersEnv> mOwners;
};

TEST_F(OutboxTrustTest, OnlyOurOwnRegularFilesAreListedAndOthersNeverSetNamesOrGetRemoved) {
    const std::string first = Add();
    // Planted under the outbox's exact form, with numbers far ahead of ours.
    PlantLink("stat-dev-9999999990-20270115T080000Z.log", "/root-only");
    Plant("stat-dev-9999999991-20270115T080000Z.log");
    mOwners->GiveAway(Real("/outbox/stat-dev-9999999991-20270115T080000Z.log"));
    ASSERT_EQ(0, link(Real("/root-only").c_str(),
                      Real("/outbox/stat-dev-9999999992-20270115T080000Z.log").c_str()));
    ASSERT_EQ(0, mkfifo(Real("/outbox/stat-dev-9999999993-20270115T080000Z.log").c_str(), 0600));
    PlantLink(".stage-stat-dev-9999999994-20270115T080000Z.log", "/root-only");
    // Near misses of the form: never listed, not even as refused, and their numbers count not.
    Plant("stat-" + std::string(65, 'd') + "-9999999997-20270115T080000Z.log");
    Plant("stat-9999999999.log");
    Plant("stat-20270115T080000Z-000001.log");

    std::vector<RefusedFile> refused;
    EXPECT_EQ(std::vector<std::string>{first}, Listed(&refused));
    ASSERT_EQ(4u, refused.size());
    std::vector<std::string> problems;
    for (const RefusedFile& file : refused) problems.push_back(file.name + ": " + file.problem);
    std::sort(problems.begin(), problems.end());
    EXPECT_EQ((std::vector<std::string>{
                  "stat-dev-9999999990-20270115T080000Z.log: a symbolic link, not a regular file",
                  "stat-dev-9999999991-20270115T080000Z.log: owned by uid 65534",
                  "stat-dev-9999999992-20270115T080000Z.log: 2 links to it",
                  "stat-dev-9999999993-20270115T080000Z.log: a FIFO, not a regular file"}),
              problems);
    EXPECT_TRUE(Outbox("/outbox/").StagedNames().empty()) << "a planted staged link is no stage";

    EXPECT_EQ("stat-dev-0000000002-20270115T080000Z.log", Add()) << "planted numbers count not";
    Outbox("/outbox/", "dev").Add(std::string(4096, 'x'), 1024);  // the cap empties the outbox
    EXPECT_EQ(1u, Listed().size());
    std::vector<std::string> left;
    ASSERT_EQ(0, Env::Current()->ListFolder("/outbox", &left));
    EXPECT_EQ(9u, left.size()) << "the eight planted files stay beside the newest file";
    EXPECT_EQ("secret\n", ReadRealFile(Real("/root-only")));
}

TEST_F(OutboxTrustTest, AFileIsJudgedByWhatOpeningItReallyGives) {
    const std::string ours = Add();
    EXPECT_EQ("", OpenedFileProblem("/outbox/" + ours));
    PlantLink("link", "/root-only");
    EXPECT_EQ("a symbolic link", OpenedFileProblem("/outbox/link"));
    ASSERT_EQ(0, mkfifo(Real("/outbox/fifo").c_str(), 0600));
    EXPECT_EQ("a FIFO, not a regular file", OpenedFileProblem("/outbox/fifo")) << "never blocks";
    Plant("theirs");
    mOwners->GiveAway(Real("/outbox/theirs"));
    EXPECT_EQ("owned by uid 65534", OpenedFileProblem("/outbox/theirs"));
}

TEST_F(OutboxTrustTest, TheFolderMustBeOursAndClosedToOthers) {
    EXPECT_EQ("", OutboxFolderProblem("/absent/")) << "whoever makes it is us";
    const std::string real = Real("/outbox");
    ASSERT_EQ(0, chmod(real.c_str(), 02770));  // a pickup group may write
    EXPECT_EQ("", OutboxFolderProblem("/outbox/"));
    ASSERT_EQ(0, chmod(real.c_str(), 0777));
    EXPECT_EQ("writable by others (mode 0777)", OutboxFolderProblem("/outbox/"));
    ASSERT_EQ(0, chmod(real.c_str(), 01777));
    EXPECT_EQ("writable by others (mode 1777)", OutboxFolderProblem("/outbox/"))
        << "sticky still lets others plant files";
    ASSERT_EQ(0, chmod(real.c_str(), 0755));
    mOwners->GiveAway(real);
    EXPECT_EQ("owned by uid 65534", OutboxFolderProblem("/outbox/"));
    EXPECT_EQ("a regular file, not a folder", OutboxFolderProblem("/root-only"));
}

TEST_F(OutboxTrustTest, TheAgentKeepsItsOwnFifoAndReplacesAnotherUsers) {
    WakeFifo made = OpenAgentWakeFifo("/outbox/.wake");
    ASSERT_GE(made.fd, 0) << made.problem;
    EXPECT_EQ("", made.replaced);
    EXPECT_TRUE(StillAt(made.fd, "/outbox/.wake"));
    close(made.fd);
    WakeFifo again = OpenAgentWakeFifo("/outbox/.wake");
    ASSERT_GE(again.fd, 0);
    EXPECT_EQ("", again.replaced) << "its own FIFO from before is kept";

    // A FIFO of another user's is replaced (a link planted there is e2e/outbox_trust_test.sh's).
    const std::string wake = Real("/outbox/.wake");
    unlink(wake.c_str());
    ASSERT_EQ(0, mkfifo(wake.c_str(), 0666));
    mOwners->GiveAway(wake);
    // Kept alive elsewhere, so that the FIFO made anew cannot reuse its inode.
    ASSERT_EQ(0, link(wake.c_str(), Real("/kept").c_str()));
    EXPECT_FALSE(StillAt(again.fd, "/outbox/.wake"));
    const WakeFifo replaced = OpenAgentWakeFifo("/outbox/.wake");
    EXPECT_EQ("a FIFO owned by uid 65534", replaced.replaced);
    ASSERT_GE(replaced.fd, 0) << replaced.problem;
    struct stat status;
    ASSERT_EQ(0, lstat(wake.c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(geteuid(), status.st_uid);
    close(replaced.fd);
    close(again.fd);
}

TEST_F(OutboxTrustTest, AWakeUpIsWrittenOnlyIntoARealFifoThatIsRead) {
    const std::string wake = Real("/outbox/.wake");
    std::string problem;
    Plant(".wake", "");  // (a link there is e2e/outbox_trust_test.sh's)
    EXPECT_EQ(-1, OpenWakeFifoToWrite("/outbox/.wake", 0, &problem));
    EXPECT_EQ("a regular file, not a FIFO", problem);
    unlink(wake.c_str());

    ASSERT_EQ(0, mkfifo(wake.c_str(), 0622));
    EXPECT_EQ(-1, OpenWakeFifoToWrite("/outbox/.wake", 0, &problem));
    EXPECT_EQ("no agent reads it", problem);
    const int reader = open(wake.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int fd = OpenWakeFifoToWrite("/outbox/.wake", 0, &problem);
    EXPECT_GE(fd, 0) << problem;
    close(fd);
    mOwners->GiveAway(wake);
    EXPECT_EQ(-1, OpenWakeFifoToWrite("/outbox/.wake", 0, &problem));
    EXPECT_EQ("a FIFO owned by uid 65534", problem);
    fd = OpenWakeFifoToWrite("/outbox/.wake", kStranger, &problem);
    EXPECT_GE(fd, 0) << "the outbox's owner may be the recorder's user: " << problem;
    close(fd);
    close(reader);
}

}  // namespace
