// White list and extension list files on a temporary root.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

class ListsTest : public TempRootTest {
protected:
    static std::vector<std::string> Get(int (*get)(PQLIBSZLIST*)) {
        PQLIBSZLIST list = QLIBCSzListAlloc(4);
        EXPECT_NE(list, nullptr);
        EXPECT_EQ(get(&list), 0);
        std::vector<std::string> out;
        for (int i = 0; i < list->nItem; ++i) out.push_back(QLIBCSzListGet(list, i));
        QLIBCSzListFree(list);
        return out;
    }
    std::string FileText(const char* szAppliancePath) const {
        std::ifstream in(Real(szAppliancePath));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

TEST_F(ListsTest, WhiteListStartsEmptyAndKeepsOneLinePerEntryInOrder) {
    EXPECT_TRUE(Get(AVWhiteListGet).empty());
    EXPECT_EQ(AVWhiteListAdd("/volume1/a b.txt"), 0);
    EXPECT_EQ(AVWhiteListAdd("/volume1/c"), 0);
    EXPECT_EQ(AVWhiteListAdd("/volume1/a b.txt"), 0);  // already listed: kept once
    EXPECT_EQ(Get(AVWhiteListGet), (std::vector<std::string>{"/volume1/a b.txt", "/volume1/c"}));
    EXPECT_EQ(FileText(TAVOAV_WHITELIST_FILE), "/volume1/a b.txt\n/volume1/c\n");

    EXPECT_EQ(AVWhiteListRemove("/volume1/a b.txt"), 0);
    EXPECT_NE(AVWhiteListRemove("/volume1/a b.txt"), 0);  // no longer listed
    EXPECT_NE(AVWhiteListRemove("/volume1/never"), 0);
    EXPECT_EQ(Get(AVWhiteListGet), (std::vector<std::string>{"/volume1/c"}));
}

TEST_F(ListsTest, EntriesThatAreNotOneLineAreRefusedAndChangeNothing) {
    ASSERT_EQ(AVWhiteListAdd("/volume1/keep"), 0);
    EXPECT_NE(AVWhiteListAdd("/volume1/x\n/volume1/y"), 0);
    EXPECT_NE(AVWhiteListAdd("/volume1/x\r"), 0);
    EXPECT_NE(AVWhiteListAdd(""), 0);
    EXPECT_LT(AVExtensionListAdd("ex\ne"), 0);
    EXPECT_LT(AVExtensionListAdd(""), 0);
    EXPECT_NE(AVWhiteListRemove("/volume1/keep\n"), 0);
    EXPECT_EQ(Get(AVWhiteListGet), (std::vector<std::string>{"/volume1/keep"}));
}

TEST_F(ListsTest, ExtensionListStartsWithDefaultsAndCountsWhatItAdds) {
    std::vector<std::string> defaults = Get(AVExtensionListGet);
    for (const char* ext : {"exe", "dll", "js", "doc", "pdf", "zip"})
        EXPECT_NE(std::find(defaults.begin(), defaults.end(), ext), defaults.end()) << ext;

    EXPECT_EQ(AVExtensionListAdd("exe"), 0);  // listed by default
    EXPECT_EQ(AVExtensionListAdd("xyz"), 1);
    EXPECT_EQ(AVExtensionListAdd("xyz"), 0);
    EXPECT_EQ(AVExtensionListRemove("zip"), 0);
    EXPECT_NE(AVExtensionListRemove("zip"), 0);

    std::vector<std::string> now = Get(AVExtensionListGet);
    EXPECT_EQ(now.size(), defaults.size());
    EXPECT_EQ(now.back(), "xyz");
    EXPECT_EQ(std::count(now.begin(), now.end(), "xyz"), 1);
    EXPECT_EQ(std::find(now.begin(), now.end(), "zip"), now.end());
}

TEST_F(ListsTest, AnEmptiedExtensionListStaysEmpty) {
    for (const std::string& ext : Get(AVExtensionListGet))
        ASSERT_EQ(AVExtensionListRemove(ext.c_str()), 0);
    EXPECT_TRUE(Get(AVExtensionListGet).empty());
}

TEST_F(ListsTest, GetFillsTheCallersListAndRefusesNoList) {
    EXPECT_NE(AVWhiteListGet(nullptr), 0);
    PQLIBSZLIST list = nullptr;
    EXPECT_NE(AVWhiteListGet(&list), 0);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(AVWhiteListAdd(("/volume1/f" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(Get(AVWhiteListGet).size(), 50u);  // the list of 4 grows
}

TEST_F(ListsTest, ConcurrentWritersFromSeveralProcessesLoseNothing) {
    const int kProcs = 6, kEach = 25;
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(AVWhiteListAdd(("/volume1/old" + std::to_string(i)).c_str()), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int bad = 0;
            for (int i = 0; i < kEach; ++i) {
                std::string entry = "/volume1/p" + std::to_string(p) + "_" + std::to_string(i);
                if (AVWhiteListAdd(entry.c_str()) != 0) ++bad;
                if (AVExtensionListAdd(
                        ("e" + std::to_string(p) + "_" + std::to_string(i)).c_str()) != 1)
                    ++bad;
            }
            // The first processes also remove some of the older entries.
            if (p < 5 && AVWhiteListRemove(("/volume1/old" + std::to_string(p)).c_str()) != 0)
                ++bad;
            _exit(bad == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<std::string> white = Get(AVWhiteListGet);
    std::set<std::string> whiteSet(white.begin(), white.end());
    EXPECT_EQ(white.size(), whiteSet.size());
    EXPECT_EQ(white.size(), static_cast<size_t>(kProcs * kEach + 5));
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kEach; ++i)
            EXPECT_TRUE(whiteSet.count("/volume1/p" + std::to_string(p) + "_" + std::to_string(i)));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(whiteSet.count("/volume1/old" + std::to_string(i)), i < 5 ? 0u : 1u);

    std::vector<std::string> ext = Get(AVExtensionListGet);
    std::set<std::string> extSet(ext.begin(), ext.end());
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kEach; ++i)
            EXPECT_TRUE(extSet.count("e" + std::to_string(p) + "_" + std::to_string(i)));
    // No temporary file is left beside the lists.
    std::set<std::string> files;
    for (const auto& entry :
         fs::directory_iterator(fs::path(Real(TAVOAV_WHITELIST_FILE)).parent_path()))
        files.insert(entry.path().filename().string());
    files.erase("tavoav.conf");
    files.erase("tavoav.conf.lock");
    EXPECT_EQ(files, (std::set<std::string>{"whitelist", "whitelist.lock", "extensions",
                                            "extensions.lock"}));
}

}  // namespace
