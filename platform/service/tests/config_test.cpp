// The configuration file on a temporary root.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

class ConfigTest : public TempRootTest {
protected:
    TAVOAV_CONF Get() {
        TAVOAV_CONF conf;
        memset(&conf, 0x5a, sizeof conf);
        EXPECT_EQ(AVGetConfig(&conf), 0);
        return conf;
    }
};

TEST_F(ConfigTest, FactoryValuesAndPathsWithoutAFile) {
    TAVOAV_CONF conf = Get();
    EXPECT_EQ(conf.blAutoUpdate, TRUE);
    EXPECT_EQ(conf.defaultOp, MV_INFECTED_FILES);
    EXPECT_EQ(conf.filenameFilterRule, TAVOAV_SCAN_ALL);
    EXPECT_EQ(conf.blScanArchives, TRUE);
    EXPECT_EQ(conf.iMaxFileSizeMB, 100);
    EXPECT_STREQ(conf.szTrackFile, TAVOAV_REPORT_DB);
    EXPECT_STREQ(conf.szDBDir, TAVOAV_DEFS_DIR);
    EXPECT_STREQ(conf.szWhiteListFile, TAVOAV_WHITELIST_FILE);
    EXPECT_STREQ(conf.szFileExtendList, TAVOAV_EXTLIST_FILE);
    EXPECT_NE(AVGetConfig(nullptr), 0);
}

TEST_F(ConfigTest, SettersPersistEachValueAndResetPutsFactoryValuesBack) {
    ASSERT_EQ(AVSetScanFilterRule(TAVOAV_SCAN_EXTENSIONS), 0);
    ASSERT_EQ(AVSetDefaultOp(RM_INFECTED_FILES), 0);
    ASSERT_EQ(AVSetAutoUpdate(FALSE), 0);
    TAVOAV_CONF conf = Get();
    EXPECT_EQ(conf.filenameFilterRule, TAVOAV_SCAN_EXTENSIONS);
    EXPECT_EQ(conf.defaultOp, RM_INFECTED_FILES);
    EXPECT_EQ(conf.blAutoUpdate, FALSE);
    std::string text = ReadFile(Real(TAVOAV_CONF_FILE));
    EXPECT_NE(text.find("defaultOp=2\n"), std::string::npos);
    EXPECT_NE(text.find("filterRule=1\n"), std::string::npos);
    EXPECT_NE(text.find("autoUpdate=0\n"), std::string::npos);

    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    EXPECT_EQ(Get().defaultOp, DO_NOTHING_TO_INFECTED_FILES);
    EXPECT_EQ(Get().filenameFilterRule, TAVOAV_SCAN_EXTENSIONS);  // the others untouched

    ASSERT_EQ(AVResetConf(), 0);
    conf = Get();
    EXPECT_EQ(conf.blAutoUpdate, TRUE);
    EXPECT_EQ(conf.defaultOp, MV_INFECTED_FILES);
    EXPECT_EQ(conf.filenameFilterRule, TAVOAV_SCAN_ALL);
    EXPECT_EQ(ListDir(Real(TAVOAV_PKG_DIR "/etc")),
              (std::vector<std::string>{"tavoav.conf", "tavoav.conf.lock"}));
}

TEST_F(ConfigTest, TheStandInsCopySpeedSurvivesChangesUntilAReset) {
    WriteFile(Real(TAVOAV_CONF_FILE), "updateRateKBps=512\n");
    ASSERT_EQ(AVSetAutoUpdate(FALSE), 0);
    EXPECT_NE(ReadFile(Real(TAVOAV_CONF_FILE)).find("updateRateKBps=512\n"), std::string::npos);
    ASSERT_EQ(AVResetConf(), 0);
    EXPECT_NE(ReadFile(Real(TAVOAV_CONF_FILE)).find("updateRateKBps=0\n"), std::string::npos);
}

TEST_F(ConfigTest, DamagedValuesReadAsFactoryValues) {
    WriteFile(Real(TAVOAV_CONF_FILE),
              "defaultOp=7\nfilterRule=x\nautoUpdate=0\nmaxFileSizeMB=-3\ngarbage\n");
    TAVOAV_CONF conf = Get();
    EXPECT_EQ(conf.defaultOp, MV_INFECTED_FILES);
    EXPECT_EQ(conf.filenameFilterRule, TAVOAV_SCAN_ALL);
    EXPECT_EQ(conf.blAutoUpdate, FALSE);
    EXPECT_EQ(conf.iMaxFileSizeMB, 100);
}

TEST_F(ConfigTest, SettersFromSeveralProcessesAreAllKept) {
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int bad = 0;
            for (int i = 0; i < 20; ++i) {
                if (p == 0 &&
                    AVSetScanFilterRule(i % 2 ? TAVOAV_SCAN_ALL : TAVOAV_SCAN_EXTENSIONS) != 0)
                    ++bad;
                if (p == 1 &&
                    AVSetDefaultOp(i % 2 ? MV_INFECTED_FILES : DO_NOTHING_TO_INFECTED_FILES) != 0)
                    ++bad;
                if (p == 2 && AVSetAutoUpdate(i % 2 ? TRUE : FALSE) != 0) ++bad;
            }
            _exit(bad);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Each process ended on its own value; none was lost to another's write.
    TAVOAV_CONF conf = Get();
    EXPECT_EQ(conf.filenameFilterRule, TAVOAV_SCAN_ALL);
    EXPECT_EQ(conf.defaultOp, MV_INFECTED_FILES);
    EXPECT_EQ(conf.blAutoUpdate, TRUE);
    // Last values of the loop: i = 19 (odd).
    EXPECT_EQ(ReadFile(Real(TAVOAV_CONF_FILE)).find("filterRule=1"), std::string::npos);
}

}  // namespace
