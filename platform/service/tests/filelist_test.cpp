// File lists: exact round trip of any path bytes, a new file per call, and
// nothing left behind on failure.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

class FileListTest : public TempRootTest {
protected:
    void TearDown() override {
        QLIBCSzListFree(list_);
        TempRootTest::TearDown();
    }
    std::string ListDirReal() const { return Real(TAVOAV_FILELIST_DIR); }
    PQLIBSZLIST Make(const std::vector<std::string>& paths) {
        QLIBCSzListFree(list_);
        list_ = QLIBCSzListAlloc(4);
        for (const std::string& path : paths) EXPECT_EQ(QLIBCSzListPush(&list_, path.c_str()), 0);
        return list_;
    }
    // Reads a file list back into a vector; false when the reader refuses it.
    static bool ReadBack(const char* szPath, std::vector<std::string>* pPaths) {
        PQLIBSZLIST pList = nullptr;
        if (AVFileListRead(szPath, &pList) != 0) {
            EXPECT_EQ(pList, nullptr);
            return false;
        }
        pPaths->clear();
        for (int i = 0; i < pList->nItem; ++i) pPaths->push_back(QLIBCSzListGet(pList, i));
        QLIBCSzListFree(pList);
        return true;
    }
    // Writes raw content as a file list and tells whether the reader takes it.
    bool Accepts(const std::string& content) {
        WriteFile(Real(TAVOAV_FILELIST_DIR "/handmade"), content);
        std::vector<std::string> paths;
        return ReadBack(TAVOAV_FILELIST_DIR "/handmade", &paths);
    }

    PQLIBSZLIST list_ = nullptr;
};

TEST_F(FileListTest, HostilePathsRoundTripExactly) {
    const std::vector<std::string> paths = {
        "/volume1/plain",
        "/volume1/with\nnewline",
        "/volume1/two\n\nnewlines\n",
        "/volume1/ spaces  around ",
        "/volume1/\"double\" and 'single' quotes",
        "/volume1/\xff\xfe non-utf8 \x80\xc3",
        "/volume1/tab\there\r\nand cr",
        "TAVOFILELIST 1 5\n",
        "",
        "/volume1/dup",
        "/volume1/dup",
        "/volume1/" + std::string(8000, 'L'),
    };
    char szPath[4096];
    ASSERT_EQ(AVTransSZListToFileList(szPath, sizeof(szPath), Make(paths)), 0);
    // The appliance path, not the one under the root.
    const std::string prefix = TAVOAV_FILELIST_DIR "/filelist.";
    EXPECT_EQ(std::string(szPath).compare(0, prefix.size(), prefix), 0) << szPath;
    EXPECT_TRUE(std::filesystem::is_regular_file(Real(szPath)));
    std::vector<std::string> back;
    ASSERT_TRUE(ReadBack(szPath, &back));
    EXPECT_EQ(back, paths);

    std::string content = ReadFile(Real(szPath));
    EXPECT_EQ(content.compare(0, 17, "TAVOFILELIST 1 12"), 0);
    EXPECT_EQ(content.back(), '\0');
}

TEST_F(FileListTest, EmptyListAndOneFilePerCall) {
    char szFirst[4096];
    char szSecond[4096];
    ASSERT_EQ(AVTransSZListToFileList(szFirst, sizeof(szFirst), Make({})), 0);
    EXPECT_EQ(ReadFile(Real(szFirst)), "TAVOFILELIST 1 0\n");
    std::vector<std::string> back = {"stale"};
    ASSERT_TRUE(ReadBack(szFirst, &back));
    EXPECT_TRUE(back.empty());

    ASSERT_EQ(AVTransSZListToFileList(szSecond, sizeof(szSecond), Make({"/volume1/x"})), 0);
    EXPECT_STRNE(szFirst, szSecond);
    EXPECT_EQ(ListDir(ListDirReal()).size(), 2u);
    ASSERT_TRUE(ReadBack(szFirst, &back));
    EXPECT_TRUE(back.empty());  // the first file is untouched
}

TEST_F(FileListTest, ReaderAppendsToAGivenList) {
    char szPath[4096];
    ASSERT_EQ(AVTransSZListToFileList(szPath, sizeof(szPath), Make({"/b", "/c"})), 0);
    PQLIBSZLIST pList = QLIBCSzListAlloc(1);
    ASSERT_EQ(QLIBCSzListPush(&pList, "/a"), 0);
    ASSERT_EQ(AVFileListRead(szPath, &pList), 0);
    ASSERT_EQ(pList->nItem, 3);
    EXPECT_STREQ(QLIBCSzListGet(pList, 0), "/a");
    EXPECT_STREQ(QLIBCSzListGet(pList, 2), "/c");
    QLIBCSzListFree(pList);
}

TEST_F(FileListTest, FailuresLeaveNoFile) {
    // Too small for the path: refused before anything is created.
    const size_t cbNeeded = strlen(TAVOAV_FILELIST_DIR "/filelist.XXXXXX") + 1;
    char szPath[4096];
    memset(szPath, 'x', sizeof(szPath));
    EXPECT_LT(AVTransSZListToFileList(szPath, cbNeeded - 1, Make({"/volume1/a"})), 0);
    EXPECT_EQ(szPath[0], '\0');
    EXPECT_TRUE(ListDir(ListDirReal()).empty());
    EXPECT_EQ(AVTransSZListToFileList(szPath, cbNeeded, Make({"/volume1/a"})), 0);
    std::filesystem::remove(Real(szPath));

    EXPECT_LT(AVTransSZListToFileList(szPath, sizeof(szPath), nullptr), 0);
    EXPECT_LT(AVTransSZListToFileList(nullptr, sizeof(szPath), Make({"/a"})), 0);
    EXPECT_TRUE(ListDir(ListDirReal()).empty());

    // A write that fails midway (file size limit) removes the partial file.
    Make({"/volume1/" + std::string(20000, 'w')});
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        char szChildPath[4096];
        _exit(AVTransSZListToFileList(szChildPath, sizeof(szChildPath), list_) < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(ListDir(ListDirReal()).empty());

    // The folder cannot be created.
    std::filesystem::remove_all(ListDirReal());
    WriteFile(ListDirReal(), "a file where the folder belongs");
    EXPECT_LT(AVTransSZListToFileList(szPath, sizeof(szPath), Make({"/a"})), 0);
    EXPECT_EQ(szPath[0], '\0');
}

TEST_F(FileListTest, ReaderRefusesWhatItDidNotWrite) {
    EXPECT_TRUE(Accepts(std::string("TAVOFILELIST 1 2\n/a\0/b\0", 23)));
    EXPECT_FALSE(Accepts(""));
    EXPECT_FALSE(Accepts("/volume1/a\n/volume1/b\n"));                     // plain lines
    EXPECT_FALSE(Accepts(std::string("TAVOFILELIST 2 1\n/a\0", 20)));      // other version
    EXPECT_FALSE(Accepts(std::string("TAVOFILELIST 1 3\n/a\0/b\0", 23)));  // entries missing
    EXPECT_FALSE(Accepts(std::string("TAVOFILELIST 1 1\n/a\0/b\0", 23)));  // extra entries
    EXPECT_FALSE(Accepts(std::string("TAVOFILELIST 1 2\n/a\0/b", 22)));    // last one cut
    EXPECT_FALSE(Accepts("TAVOFILELIST 1 \n"));
    EXPECT_FALSE(Accepts("TAVOFILELIST 1 0"));
    EXPECT_FALSE(Accepts("TAVOFILELIST 1 99999999999\n"));
    std::vector<std::string> paths;
    EXPECT_FALSE(ReadBack(TAVOAV_FILELIST_DIR "/missing", &paths));
    EXPECT_FALSE(ReadBack("relative/path", &paths));
    PQLIBSZLIST pList = nullptr;
    EXPECT_NE(AVFileListRead(nullptr, &pList), 0);
}

}  // namespace
