// Engine information and definition updates from the mirror folder.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

class UpdateTest : public TempRootTest {
protected:
    // These tests are about copying and swapping: a definitions check that
    // accepts every set stands in for the scanner (update_verify_test runs
    // the real one).
    void SetUp() override {
        TempRootTest::SetUp();
        WriteFile(Real(TAVOAV_SCANNER_PATH), "#!/bin/sh\necho OK\n");
        std::filesystem::permissions(Real(TAVOAV_SCANNER_PATH), std::filesystem::perms::owner_all);
    }
    std::string Mirror(const std::string& name) const { return Real(TAVOAV_MIRROR_DIR "/" + name); }
    std::string Defs(const std::string& name) const { return Real(TAVOAV_DEFS_DIR "/" + name); }
    static TAVOAV_STAT Stat() {
        TAVOAV_STAT stat;
        memset(&stat, 0, sizeof stat);
        EXPECT_EQ(AVGetEngStat(&stat), 0);
        return stat;
    }
    static std::string CvdHeader(int version, int signatures) {
        std::string header = "ClamAV-VDB:08 Dec 2026 02-00 +0000:" + std::to_string(version) + ":" +
                             std::to_string(signatures) +
                             ":90:0123456789abcdef:sig:builder:1796700000";
        header.resize(512, ' ');
        return header + "body";
    }
};

TEST_F(UpdateTest, NoDefinitionsUntilTheFirstUpdate) {
    TAVOAV_INFO info;
    memset(&info, 0x5a, sizeof info);
    EXPECT_EQ(AVGetEngInfo(&info), ERR_TAVOAV_DB_ACCESS_ERROR);
    EXPECT_EQ(info.lastUpdateDate, 0);
    // A folder with files but no finished install still counts as none.
    WriteFile(Defs("main.cvd"), "x");
    EXPECT_EQ(AVGetEngInfo(&info), ERR_TAVOAV_DB_ACCESS_ERROR);
}

TEST_F(UpdateTest, AnEmptyOrMissingMirrorFailsAndMarksTheUpdateFailed) {
    EXPECT_NE(AVUpdate_m(), 0);
    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.isUpdFailed, TRUE);
    EXPECT_EQ(stat.isUpdating, FALSE);
    std::filesystem::create_directories(Real(TAVOAV_MIRROR_DIR));
    WriteFile(Mirror(".partial"), "hidden files are not definitions");
    EXPECT_NE(AVUpdate_m(), 0);
    EXPECT_FALSE(std::filesystem::exists(Real(TAVOAV_DEFS_DIR)));
    TAVOAV_INFO info;
    EXPECT_EQ(AVGetEngInfo(&info), ERR_TAVOAV_DB_ACCESS_ERROR);
}

TEST_F(UpdateTest, InstallsEveryMirrorFileAndReplacesTheWholeSet) {
    WriteFile(Mirror("main.cvd"), CvdHeader(62, 100));
    WriteFile(Mirror("daily.cld"), CvdHeader(27500, 20));
    WriteFile(Mirror("local.hdb"), "44d88612fea8a8f36de82e1278abb02f:68:Eicar-Test-Signature\n");
    WriteFile(Mirror(".partial"), "skipped");
    // Left by an update that was killed midway (no such process).
    WriteFile(Real(TAVOAV_DEFS_DIR ".new.999999999/main.cvd"), "half");
    time_t before = time(nullptr);
    ASSERT_EQ(AVUpdate_m(), 0);

    EXPECT_EQ(ReadFile(Defs("local.hdb")), ReadFile(Mirror("local.hdb")));
    EXPECT_EQ(ReadFile(Defs("main.cvd")), CvdHeader(62, 100));
    EXPECT_FALSE(std::filesystem::exists(Defs(".partial")));
    TAVOAV_INFO info;
    ASSERT_EQ(AVGetEngInfo(&info), OKAY);
    EXPECT_GE(info.lastUpdateDate, before);
    EXPECT_LE(info.lastUpdateDate, time(nullptr));
    EXPECT_STREQ(info.szDefVersion, "27500");
    EXPECT_EQ(info.defSignatureCount, 120);
    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.isUpdating, FALSE);
    EXPECT_EQ(stat.isUpdFailed, FALSE);
    int64_t total = static_cast<int64_t>(ReadFile(Mirror("main.cvd")).size() +
                                         ReadFile(Mirror("daily.cld")).size() +
                                         ReadFile(Mirror("local.hdb")).size());
    EXPECT_EQ(stat.downloadSizeTotal, total);
    EXPECT_EQ(stat.downloadSizeNow, total);

    // The next update brings a different set: nothing of the old one stays.
    std::filesystem::remove(Mirror("local.hdb"));
    WriteFile(Mirror("extra.ndb"), "Sig:0:*:414243\n");
    ASSERT_EQ(AVUpdate_m(), 0);
    EXPECT_EQ(ListDir(Real(TAVOAV_DEFS_DIR)),
              (std::vector<std::string>{".installed", "daily.cld", "extra.ndb", "main.cvd"}));
    std::vector<std::string> pkg = ListDir(Real(TAVOAV_PKG_DIR));
    EXPECT_FALSE(pkg.empty());
    for (const std::string& name : pkg) EXPECT_EQ(name.find("defs."), std::string::npos) << name;

    // A failed update keeps the installed set.
    std::filesystem::remove_all(Real(TAVOAV_MIRROR_DIR));
    EXPECT_NE(AVUpdate_m(), 0);
    EXPECT_EQ(AVGetEngInfo(&info), OKAY);
    EXPECT_TRUE(Stat().isUpdFailed);
}

TEST_F(UpdateTest, ProgressGrowsWhileCopyingAndASecondUpdateIsRefused) {
    // A slow mirror: 400 KiB at 160 KiB/s.
    WriteFile(Real(TAVOAV_CONF_FILE), "updateRateKBps=160\n");
    WriteFile(Mirror("a.cvd"), std::string(200 * 1024, 'a'));
    WriteFile(Mirror("b.cvd"), std::string(200 * 1024, 'b'));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(AVUpdate_m() == 0 ? 0 : 1);

    std::vector<int64_t> seen;
    bool blRefused = false;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        TAVOAV_STAT stat = Stat();
        // The total is reported right after the update has registered.
        if (stat.isUpdating && stat.downloadSizeTotal != 0) {
            EXPECT_EQ(stat.downloadSizeTotal, 400 * 1024);
            seen.push_back(stat.downloadSizeNow);
            if (!blRefused) {
                EXPECT_NE(AVUpdate_m(), 0);  // the running update keeps going
                blRefused = true;
            }
        }
        usleep(50 * 1000);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_FALSE(seen.empty());
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]);
    EXPECT_LT(seen.front(), seen.back());
    TAVOAV_STAT stat = Stat();
    EXPECT_FALSE(stat.isUpdating);
    EXPECT_FALSE(stat.isUpdFailed);
    EXPECT_EQ(stat.downloadSizeNow, 400 * 1024);
}

}  // namespace
