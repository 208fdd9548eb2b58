// The quarantine stores and the failed-move list on a temporary root.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "quarantine_store_fixture.h"
#include "tavo/tavoav_engine.h"

namespace fs = std::filesystem;

namespace {

TEST_F(QuarantineStoreTest, PutMovesTheFileAndRecordsIt) {
    MakeVolume(1);
    MakeFile("/volume1/share/dir/eicar.com", "payload");
    ASSERT_EQ(AVQuarantinePutFile("/volume1/share/dir/eicar.com", "Eicar-Test-Signature"),
              AVQ_ERR_OK);
    EXPECT_FALSE(fs::exists(Real("/volume1/share/dir/eicar.com")));

    auto items = Items("/volume1");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_STREQ(items[0].szOriginalPath, "/share/dir/eicar.com");
    EXPECT_STREQ(items[0].szThreat, "Eicar-Test-Signature");
    EXPECT_TRUE(std::regex_match(items[0].szTime, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    std::string name = items[0].szRenamedName;
    EXPECT_TRUE(std::regex_match(name, std::regex("tq_[0-9a-f]{24}"))) << name;
    EXPECT_EQ(ReadFile(QDir("/volume1") + "/" + name), "payload");

    QUARANTINE_PATH path;
    ASSERT_EQ(AVQuarantineGet("/volume1", &path), 0);
    EXPECT_STREQ(path.szVolumePath, "/volume1");
    EXPECT_STREQ(path.szDirPath, "/volume1/@tavoav_quarantine");
    EXPECT_EQ(std::string(path.szDBPath).rfind("/volume1/@tavoav_quarantine/", 0), 0u);

    QUARANTINE_CONN* conn = Connect("/volume1");
    QUARANTINE_FILE entry;
    EXPECT_EQ(AVQuarantineDBEntryGet(conn, name.c_str(), name.size(), &entry), 0);
    EXPECT_STREQ(entry.szOriginalPath, "/share/dir/eicar.com");
    EXPECT_NE(AVQuarantineDBEntryGet(conn, "tq_nothing", 10, &entry), 0);
    AVQuarantineClose(&conn);

    // A second file gets another name; the listing keeps insertion order.
    MakeFile("/volume1/b.exe");
    ASSERT_EQ(AVQuarantinePutFile("/volume1/b.exe", "Worm"), AVQ_ERR_OK);
    items = Items("/volume1");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_STREQ(items[1].szOriginalPath, "/b.exe");
    EXPECT_NE(std::string(items[1].szRenamedName), name);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Stat().mvFailedCnt, 0);
}

TEST_F(QuarantineStoreTest, VolumesAreListedInNumberOrderAndCheckedStrictly) {
    for (int n : {10, 2, 1, 3}) MakeVolume(n);
    for (int n : {10, 2, 1}) fs::create_directories(QDir("/volume" + std::to_string(n)));
    fs::create_directories(Real("/volume01/" TAVOAV_QUARANTINE_DIR_NAME));
    fs::create_directories(Real("/volumes/" TAVOAV_QUARANTINE_DIR_NAME));
    EXPECT_EQ(Volumes(), (std::vector<std::string>{"/volume1", "/volume2", "/volume10"}));
    EXPECT_EQ(Count(), 0);
    EXPECT_TRUE(Items("/volume2").empty());

    QUARANTINE_PATH path;
    for (const char* bad : {"volume1", "/volume1/", "/volume01", "/volume0", "/volumes", "/volume7",
                            "/volume1/..", "/tmp", ""})
        EXPECT_NE(AVQuarantineGet(bad, &path), 0) << bad;

    char szShare[64];
    ASSERT_EQ(AVQuarantineGetExtShareNameByMountPath("/volume10", szShare, sizeof szShare), 0);
    EXPECT_STREQ(szShare, "volume10/@tavoav_quarantine");
    EXPECT_NE(AVQuarantineGetExtShareNameByMountPath("/volume10", szShare, 10), 0);
    EXPECT_NE(AVQuarantineGetExtShareNameByMountPath("/volume7", szShare, sizeof szShare), 0);
    EXPECT_NE(AVQuarantineGetExtShareNameByMountPath("/etc", szShare, sizeof szShare), 0);
}

TEST_F(QuarantineStoreTest, FailedPutLeavesNothingBehindAndJoinsTheFailedList) {
    MakeVolume(1);
    // A file where the quarantine folder should be: the move cannot happen.
    WriteFile(QDir("/volume1"), "not a folder");
    MakeFile("/volume1/a.exe", "A");
    EXPECT_EQ(AVQuarantinePutFile("/volume1/a.exe", "T"), AVQ_ERR_DIR_NOT_FOUND);
    EXPECT_EQ(ReadFile(Real("/volume1/a.exe")), "A");
    EXPECT_EQ(Stat().mvFailedCnt, 1);

    fs::create_directories(Real("/volume1/dir.exe"));
    EXPECT_EQ(AVQuarantinePutFile("/volume1/dir.exe", "T"), AVQ_ERR_MOVE_FAIL);
    EXPECT_EQ(AVQuarantinePutFile("/elsewhere/x", "T"), AVQ_ERR_DIR_NOT_FOUND);
    EXPECT_EQ(AVQuarantinePutFile("/volume1/../etc/passwd", "T"), AVQ_ERR_UNKNOWN);
    EXPECT_EQ(Stat().mvFailedCnt, 4);
    // The same path failing again is still one item.
    EXPECT_EQ(AVQuarantinePutFile("/volume1/a.exe", "T"), AVQ_ERR_DIR_NOT_FOUND);
    EXPECT_EQ(Stat().mvFailedCnt, 4);
    // A file that is gone has nothing to retry.
    EXPECT_EQ(AVQuarantinePutFile("/volume1/gone.exe", "T"), AVQ_ERR_SOURCE_MISSING);
    EXPECT_EQ(Stat().mvFailedCnt, 4);
    BUTTON_STATUS buttons;
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isReProcessDisabled, FALSE);
    EXPECT_EQ(buttons.isClearDisabled, FALSE);

    // Once the folder can be made, the retry moves what still exists.
    fs::remove(QDir("/volume1"));
    EXPECT_EQ(AVTryProcessAgain(), 1);
    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.mvFailedCnt, 3);
    EXPECT_EQ(stat.isReprocessing, FALSE);
    EXPECT_FALSE(fs::exists(Real("/volume1/a.exe")));
    ASSERT_EQ(Items("/volume1").size(), 1u);
    EXPECT_STREQ(Items("/volume1")[0].szOriginalPath, "/a.exe");

    fs::remove(Real("/volume1/dir.exe"));  // gone now: leaves the list too
    EXPECT_EQ(AVTryProcessAgain(), 0);
    EXPECT_EQ(Stat().mvFailedCnt, 2);
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isReProcessDisabled, FALSE);

    EXPECT_EQ(AVQuarantineFailClear(), 0);
    EXPECT_EQ(Stat().mvFailedCnt, 0);
    EXPECT_EQ(AVTryProcessAgain(), 0);
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isReProcessDisabled, TRUE);
    EXPECT_EQ(buttons.isClearDisabled, TRUE);
}

TEST_F(QuarantineStoreTest, DeleteRemovesFileAndRecordAndRefusesHostileNames) {
    MakeVolume(1);
    MakeFile("/volume1/a.exe");
    ASSERT_EQ(AVQuarantinePutFile("/volume1/a.exe", "T"), AVQ_ERR_OK);
    std::string name = StoredName("/volume1");
    MakeFile("/volume1/victim", "keep");
    MakeFile("/volume1/@tavoav_quarantine/sub/x", "keep");

    for (const std::string& bad :
         std::vector<std::string>{"../victim", "..", ".", "sub/x", "", std::string("tq\0x", 4)})
        EXPECT_EQ(Delete("/volume1", bad), AVQ_ERR_UNKNOWN) << bad;
    EXPECT_EQ(Delete("/volume1", "tq_000000000000000000000000"), AVQ_ERR_DBOP_FAIL);
    EXPECT_EQ(ReadFile(Real("/volume1/victim")), "keep");
    EXPECT_TRUE(fs::exists(Real("/volume1/@tavoav_quarantine/sub/x")));

    EXPECT_EQ(Delete("/volume1", name), AVQ_ERR_OK);
    EXPECT_FALSE(fs::exists(QDir("/volume1") + "/" + name));
    EXPECT_TRUE(Items("/volume1").empty());
    // Deleted once, then simply not found.
    EXPECT_EQ(Delete("/volume1", name), AVQ_ERR_DBOP_FAIL);
}

TEST_F(QuarantineStoreTest, RestoreFreeTakenAndMissing) {
    MakeVolume(1);
    MakeFile("/volume1/docs/deep/a.doc", "A");
    MakeFile("/volume1/docs/b.doc", "B");
    MakeFile("/volume1/docs/c.doc", "C");
    for (const char* p : {"/volume1/docs/deep/a.doc", "/volume1/docs/b.doc", "/volume1/docs/c.doc"})
        ASSERT_EQ(AVQuarantinePutFile(p, "T"), AVQ_ERR_OK);
    auto items = Items("/volume1");
    ASSERT_EQ(items.size(), 3u);
    std::string a = items[0].szRenamedName, b = items[1].szRenamedName, c = items[2].szRenamedName;

    // Free destination, its folders gone: they are made again.
    fs::remove_all(Real("/volume1/docs"));
    EXPECT_EQ(Restore("/volume1", a), AVQ_ERR_OK);
    EXPECT_EQ(ReadFile(Real("/volume1/docs/deep/a.doc")), "A");
    EXPECT_FALSE(fs::exists(QDir("/volume1") + "/" + a));

    // Taken destination: nothing changes.
    MakeFile("/volume1/docs/b.doc", "new B");
    EXPECT_EQ(Restore("/volume1", b), AVQ_ERR_DEST_EXIST);
    EXPECT_EQ(ReadFile(Real("/volume1/docs/b.doc")), "new B");
    EXPECT_EQ(ReadFile(QDir("/volume1") + "/" + b), "B");

    // Stored file missing: nothing changes, no folders made.
    fs::remove(QDir("/volume1") + "/" + c);
    fs::remove_all(Real("/volume1/docs"));
    EXPECT_EQ(Restore("/volume1", c), AVQ_ERR_SOURCE_MISSING);
    EXPECT_FALSE(fs::exists(Real("/volume1/docs")));

    items = Items("/volume1");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::string(items[0].szRenamedName), b);
    EXPECT_EQ(std::string(items[1].szRenamedName), c);
    // Deleting the item whose stored file is gone clears its record.
    EXPECT_EQ(Delete("/volume1", c), AVQ_ERR_OK);
    EXPECT_EQ(Items("/volume1").size(), 1u);
}

TEST_F(QuarantineStoreTest, RestoreRefusesARecordPointingOutsideTheVolume) {
    MakeVolume(1);
    MakeFile("/volume1/a.exe", "A");
    ASSERT_EQ(AVQuarantinePutFile("/volume1/a.exe", "T"), AVQ_ERR_OK);
    std::string name = StoredName("/volume1");
    QUARANTINE_PATH path;
    ASSERT_EQ(AVQuarantineGet("/volume1", &path), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Real(path.szDBPath).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE quarantine SET original_path = '/../../escaped'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(Restore("/volume1", name), AVQ_ERR_UNKNOWN);
    EXPECT_FALSE(fs::exists(Real("/escaped")));
    EXPECT_EQ(ReadFile(QDir("/volume1") + "/" + name), "A");
}

TEST_F(QuarantineStoreTest, DeleteAllAndRestoreAllHandOverRefusals) {
    MakeVolume(1);
    MakeVolume(2);
    for (const char* p : {"/volume1/a", "/volume1/b", "/volume2/c", "/volume2/d/e"}) {
        MakeFile(p, p);
        ASSERT_EQ(AVQuarantinePutFile(p, "T"), AVQ_ERR_OK);
    }
    // Restore-all: /volume1/b is taken again, the rest goes back and onto the white list.
    MakeFile("/volume1/b", "taken");
    FAILED_QITEM_LIST* failList = nullptr;
    ASSERT_EQ(AVQuarantineRestoreAllFiles(TRUE, &failList), 0);
    auto nodes = Nodes(failList);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].first, "/volume1/b");
    EXPECT_EQ(nodes[0].second, AVQ_ERR_DEST_EXIST);
    EXPECT_STREQ(failList->itemInfo.szThreat, "T");
    AVQuarantineFailListFree(failList);
    EXPECT_EQ(ReadFile(Real("/volume2/d/e")), "/volume2/d/e");
    std::vector<std::string> white = WhiteList();
    EXPECT_EQ(std::set<std::string>(white.begin(), white.end()),
              (std::set<std::string>{"/volume1/a", "/volume2/c", "/volume2/d/e"}));
    EXPECT_EQ(Count(), 1);

    // Delete-all: a stored name that became a folder cannot be removed.
    MakeFile("/volume2/f", "F");
    ASSERT_EQ(AVQuarantinePutFile("/volume2/f", "T"), AVQ_ERR_OK);
    std::string stuck = StoredName("/volume1");
    fs::remove(QDir("/volume1") + "/" + stuck);
    fs::create_directories(QDir("/volume1") + "/" + stuck + "/inner");
    failList = nullptr;
    ASSERT_EQ(AVQuarantineDeleteAllFiles(&failList), 0);
    nodes = Nodes(failList);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].first, "/volume1/b");
    EXPECT_EQ(nodes[0].second, AVQ_ERR_REMOVE_FAIL);
    AVQuarantineFailListFree(failList);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(ListDir(QDir("/volume2")).size(), 1u);  // only the database

    // Nothing refused: no list.
    fs::remove_all(QDir("/volume1") + "/" + stuck);
    failList = reinterpret_cast<FAILED_QITEM_LIST*>(0x1);
    ASSERT_EQ(AVQuarantineDeleteAllFiles(&failList), 0);
    EXPECT_EQ(failList, nullptr);
    EXPECT_EQ(Count(), 0);
}

TEST_F(QuarantineStoreTest, DeleteAllOverSeveralBatchesReportsRefusalsInItemOrder) {
    MakeVolume(1);
    const int kItems = 300;  // more than one batch of records
    for (int i = 0; i < kItems; ++i) {
        std::string path = "/volume1/many/f" + std::to_string(i);
        MakeFile(path, "x");
        ASSERT_EQ(AVQuarantinePutFile(path.c_str(), "T"), AVQ_ERR_OK);
    }
    QUARANTINE_FILE* rgItems = nullptr;
    int itemCount = 0;
    QUARANTINE_PATH path;
    ASSERT_EQ(AVQuarantineGet("/volume1", &path), 0);
    ASSERT_EQ(AVQuarantineDBReadFrom(&path, &rgItems, &itemCount), 0);
    ASSERT_EQ(itemCount, kItems);
    // Items in the first and the second batch whose stored file became a folder.
    const std::vector<std::string> stuck = {rgItems[270].szRenamedName, rgItems[10].szRenamedName};
    const std::vector<std::string> stuckPaths = {rgItems[10].szOriginalPath,
                                                 rgItems[270].szOriginalPath};
    free(rgItems);
    for (const std::string& name : stuck) {
        fs::remove(QDir("/volume1") + "/" + name);
        fs::create_directories(QDir("/volume1") + "/" + name + "/inner");
    }
    FAILED_QITEM_LIST* failList = nullptr;
    ASSERT_EQ(AVQuarantineDeleteAllFiles(&failList), 0);
    auto nodes = Nodes(failList);
    AVQuarantineFailListFree(failList);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].first, "/volume1" + stuckPaths[0]);
    EXPECT_EQ(nodes[1].first, "/volume1" + stuckPaths[1]);
    EXPECT_EQ(nodes[0].second, AVQ_ERR_REMOVE_FAIL);
    EXPECT_EQ(nodes[1].second, AVQ_ERR_REMOVE_FAIL);
    // The refused items stay listed; every other record and file is gone.
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(ListDir(QDir("/volume1")).size(), 3u);  // the database and the two folders
}

TEST_F(QuarantineStoreTest, TwoProcessesOnOneVolume) {
    MakeVolume(1);
    const int kItems = 30;
    // Both put at once: every file lands once under its own name.
    auto put = [&](int from) {
        for (int i = from; i < from + kItems; ++i) {
            std::string path = "/volume1/in/f" + std::to_string(i);
            if (AVQuarantinePutFile(path.c_str(), "T") != AVQ_ERR_OK) return 1;
        }
        return 0;
    };
    for (int i = 0; i < 2 * kItems; ++i) MakeFile("/volume1/in/f" + std::to_string(i));
    std::vector<pid_t> children;
    for (int from : {0, kItems}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(put(from));
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto items = Items("/volume1");
    ASSERT_EQ(items.size(), static_cast<size_t>(2 * kItems));
    EXPECT_EQ(ListDir(QDir("/volume1")).size(), static_cast<size_t>(2 * kItems + 1));

    // Both delete every item at once: each goes exactly once, the other
    // process simply does not find it.
    int pipes[2][2];
    children.clear();
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(pipe(pipes[k]), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int deleted = 0, other = 0;
            QUARANTINE_PATH path;
            QUARANTINE_CONN* conn = nullptr;
            if (AVQuarantineGet("/volume1", &path) != 0 || AVQuarantineConnect(&path, &conn) != 0)
                _exit(2);
            for (const auto& item : items) {
                QUARANTINE_ERROR err =
                    AVQuarantineDeleteFile(conn, item.szRenamedName, strlen(item.szRenamedName));
                if (err == AVQ_ERR_OK)
                    ++deleted;
                else if (err != AVQ_ERR_DBOP_FAIL)
                    ++other;
            }
            AVQuarantineClose(&conn);
            if (write(pipes[k][1], &deleted, sizeof deleted) != sizeof deleted) _exit(3);
            _exit(other == 0 ? 0 : 1);
        }
        close(pipes[k][1]);
        children.push_back(pid);
    }
    int total = 0;
    for (int k = 0; k < 2; ++k) {
        int status = 0;
        ASSERT_EQ(waitpid(children[k], &status, 0), children[k]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        int deleted = 0;
        EXPECT_EQ(read(pipes[k][0], &deleted, sizeof deleted),
                  static_cast<ssize_t>(sizeof deleted));
        close(pipes[k][0]);
        total += deleted;
    }
    EXPECT_EQ(total, 2 * kItems);
    EXPECT_TRUE(Items("/volume1").empty());
    EXPECT_EQ(ListDir(QDir("/volume1")).size(), 1u);
}

}  // namespace
