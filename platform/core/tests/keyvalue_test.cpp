#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tavo/tavocore.h"
#include "temp_root.h"

namespace {

using KeyValueTest = TempRootTest;
constexpr const char* kFile = "/var/packages/AntiVirus-Zentrel/target/.tavoavtmp";

// Files in the folder of kFile other than the file itself and its lock file.
std::vector<std::string> StrayFiles(const std::string& folder) {
    std::vector<std::string> stray;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename();
        if (name != ".tavoavtmp" && name != ".tavoavtmp.lock") stray.push_back(name);
    }
    return stray;
}

TEST_F(KeyValueTest, SetsOverwritesAndKeepsOtherLinesInOrder) {
    // The parent folders do not exist yet.
    ASSERT_EQ(QLIBCFileSetKeyValue(kFile, "browserLanguage", "enu", nullptr), 0);
    EXPECT_EQ(ReadFile(Real(kFile)), "browserLanguage=enu\n");

    WriteFile(Real(kFile),
              "# comment\nfirst=1\nbrowserLanguage=enu\nlast=a=b\nbrowserLanguage=old\nnoeq");
    ASSERT_EQ(QLIBCFileSetKeyValue(kFile, "browserLanguage", "ger", nullptr), 0);
    EXPECT_EQ(ReadFile(Real(kFile)), "# comment\nfirst=1\nbrowserLanguage=ger\nlast=a=b\nnoeq\n");
    ASSERT_EQ(QLIBCFileSetKeyValue(kFile, "new", "", nullptr), 0);
    EXPECT_EQ(ReadFile(Real(kFile)),
              "# comment\nfirst=1\nbrowserLanguage=ger\nlast=a=b\nnoeq\nnew=\n");

    char szValue[16];
    ASSERT_EQ(QLIBCFileGetKeyValue(kFile, "browserLanguage", szValue, sizeof(szValue)), 0);
    EXPECT_STREQ(szValue, "ger");
    ASSERT_EQ(QLIBCFileGetKeyValue(kFile, "last", szValue, sizeof(szValue)), 0);
    EXPECT_STREQ(szValue, "a=b");
    ASSERT_EQ(QLIBCFileGetKeyValue(kFile, "new", szValue, sizeof(szValue)), 0);
    EXPECT_STREQ(szValue, "");
    EXPECT_EQ(QLIBCFileGetKeyValue(kFile, "missing", szValue, sizeof(szValue)), -1);
    EXPECT_EQ(QLIBCFileGetKeyValue(kFile, "browserLanguage", szValue, 3), -1);  // does not fit
    EXPECT_EQ(QLIBCFileGetKeyValue("/no/such/file", "a", szValue, sizeof(szValue)), -1);

    EXPECT_TRUE(StrayFiles(std::filesystem::path(Real(kFile)).parent_path()).empty());
}

TEST_F(KeyValueTest, RefusesLineBreaksEqualsSignsAndMissingArguments) {
    WriteFile(Real(kFile), "a=1\n");
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a", "1\nb=2", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a", "1\r", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a\nb", "1", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a=b", "1", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "", "1", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, nullptr, "1", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a", nullptr, nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue(nullptr, "a", "1", nullptr), -1);
    EXPECT_EQ(QLIBCFileSetKeyValue("relative/file", "a", "1", nullptr), -1);
    EXPECT_EQ(ReadFile(Real(kFile)), "a=1\n");
}

TEST_F(KeyValueTest, FailedWriteLeavesTheFileAndNoTemporaryFile) {
    // A folder where the file should be: the rename cannot replace it.
    std::filesystem::create_directories(Real(kFile));
    EXPECT_EQ(QLIBCFileSetKeyValue(kFile, "a", "1", nullptr), -1);
    EXPECT_TRUE(std::filesystem::is_directory(Real(kFile)));
    EXPECT_TRUE(StrayFiles(std::filesystem::path(Real(kFile)).parent_path()).empty());
}

TEST_F(KeyValueTest, KeepsTheModeOfTheReplacedFile) {
    WriteFile(Real(kFile), "a=1\n");
    std::filesystem::permissions(Real(kFile), std::filesystem::perms(0600));
    ASSERT_EQ(QLIBCFileSetKeyValue(kFile, "a", "2", nullptr), 0);
    EXPECT_EQ(std::filesystem::status(Real(kFile)).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0600));
}

TEST_F(KeyValueTest, ConcurrentWritersLoseNoUpdate) {
    constexpr int kWriters = 4;
    constexpr int kKeysEach = 25;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int iFailed = 0;
            for (int k = 0; k < kKeysEach; ++k) {
                std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
                if (QLIBCFileSetKeyValue(kFile, key.c_str(), std::to_string(k).c_str(), nullptr) !=
                    0)
                    ++iFailed;
            }
            _exit(iFailed);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int iStatus = 0;
        ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0);
    }
    char szValue[16];
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kKeysEach; ++k) {
            std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
            ASSERT_EQ(QLIBCFileGetKeyValue(kFile, key.c_str(), szValue, sizeof(szValue)), 0) << key;
            EXPECT_EQ(std::to_string(k), szValue);
        }
    }
    EXPECT_TRUE(StrayFiles(std::filesystem::path(Real(kFile)).parent_path()).empty());
}

}  // namespace
