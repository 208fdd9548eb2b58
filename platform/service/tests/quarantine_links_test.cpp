// The quarantine against a share user who plants symbolic links or swaps
// folders while root restores, quarantines or retries a move.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quarantine_store_fixture.h"

namespace fs = std::filesystem;

namespace {

class QuarantineLinkTest : public QuarantineStoreTest {
protected:
    void SetUp() override {
        QuarantineStoreTest::SetUp();
        fs::create_directories(Real("/volume1"));
        fs::create_directories(Real("/elsewhere"));
        // Another user's private file on the same volume.
        WriteFile(Real("/volume1/private/x.exe"), "victim");
        fs::permissions(Real("/volume1/private/x.exe"),
                        fs::perms::owner_read | fs::perms::owner_write);
    }

    std::vector<QUARANTINE_FILE> Items() { return QuarantineStoreTest::Items("/volume1"); }
    std::string StoredContent(const QUARANTINE_FILE& item) {
        return ReadFile(QDir("/volume1") + "/" + item.szRenamedName);
    }
    QUARANTINE_ERROR Restore(const std::string& name) {
        return QuarantineStoreTest::Restore("/volume1", name);
    }
    static int64_t FailedCount() { return Stat().mvFailedCnt; }
    // A detected file as the scanner holds it: its open folder and its fstat.
    int OpenDetected(struct stat* pFile) {
        WriteFile(Real("/volume1/share/dl/x.exe"), "detected");
        int dirFd = open(Real("/volume1/share/dl").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0 && fstatat(dirFd, "x.exe", pFile, AT_SYMLINK_NOFOLLOW) != 0) {
            close(dirFd);
            return -1;
        }
        return dirFd;
    }
    // The reason recorded for a failed move, "" when there is no record.
    std::string FailedReason(const std::string& path) {
        sqlite3* db = nullptr;
        std::string reason;
        if (sqlite3_open_v2(Real(TAVOAV_FAILED_DB).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(db, "SELECT reason FROM failed WHERE path = ?1", -1, &stmt, nullptr);
            sqlite3_bind_text(stmt, 1, path.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(stmt) == SQLITE_ROW)
                reason = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return reason;
    }
    // Every entry below a folder, recursively, as paths relative to it.
    static std::vector<std::string> Tree(const std::string& dir) {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            out.push_back(fs::relative(entry.path(), dir).string());
        std::sort(out.begin(), out.end());
        return out;
    }
    void ExpectVictimUntouched() {
        EXPECT_EQ(ReadFile(Real("/volume1/private/x.exe")), "victim");
        EXPECT_EQ(Tree(Real("/volume1/private")), std::vector<std::string>{"x.exe"});
        EXPECT_TRUE(Tree(Real("/elsewhere")).empty());
    }
};

// Where the user puts the link on the way back to "/share/dl/sub/x.exe".
struct Plant {
    const char* szName;
    const char* szReplaced;  // the folder that becomes a link
    const char* szTarget;
};

void PrintTo(const Plant& plant, std::ostream* pOut) { *pOut << plant.szName; }

const Plant rgPlants[] = {
    {"share_outside", "/volume1/share", "../elsewhere"},
    {"dl_outside", "/volume1/share/dl", "../../elsewhere"},
    {"sub_outside", "/volume1/share/dl/sub", "/elsewhere"},
    {"dl_other_share", "/volume1/share/dl", "../private"},
};

class RestoreThroughLinkTest : public QuarantineLinkTest,
                               public ::testing::WithParamInterface<Plant> {
protected:
    void SetUp() override {
        QuarantineLinkTest::SetUp();
        WriteFile(Real("/volume1/share/dl/sub/x.exe"), "detected");
        ASSERT_EQ(AVQuarantinePutFile("/volume1/share/dl/sub/x.exe", "Eicar"), AVQ_ERR_OK);
        ASSERT_EQ(Items().size(), 1u);
        name_ = Items()[0].szRenamedName;
        const Plant& plant = GetParam();
        fs::remove_all(Real(plant.szReplaced));
        fs::create_directories(Real(plant.szReplaced).substr(0, Real(plant.szReplaced).rfind('/')));
        fs::create_directory_symlink(plant.szTarget, Real(plant.szReplaced));
    }
    // Nothing moved, made or changed: the item still listed with its file.
    void ExpectNothingDone() {
        ExpectVictimUntouched();
        auto items = Items();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(StoredContent(items[0]), "detected");
        EXPECT_TRUE(fs::is_symlink(Real(GetParam().szReplaced)));
    }
    std::string name_;
};

TEST_P(RestoreThroughLinkTest, RestoreRefusesTheItem) {
    EXPECT_EQ(Restore(name_), AVQ_ERR_MOVE_FAIL);
    ExpectNothingDone();
}

TEST_P(RestoreThroughLinkTest, RestoreAllRefusesTheItem) {
    for (BOOL blAddWhitelist : {FALSE, TRUE}) {
        FAILED_QITEM_LIST* pFailed = nullptr;
        EXPECT_EQ(AVQuarantineRestoreAllFiles(blAddWhitelist, &pFailed), 0);
        ASSERT_NE(pFailed, nullptr);
        EXPECT_EQ(pFailed->errorType, AVQ_ERR_MOVE_FAIL);
        EXPECT_STREQ(pFailed->itemInfo.szOriginalPath, "/share/dl/sub/x.exe");
        EXPECT_EQ(pFailed->next, nullptr);
        AVQuarantineFailListFree(pFailed);
        ExpectNothingDone();
    }
    PQLIBSZLIST list = QLIBCSzListAlloc(4);
    ASSERT_EQ(AVWhiteListGet(&list), 0);
    for (int i = 0; i < list->nItem; ++i)
        EXPECT_STRNE(QLIBCSzListGet(list, i), "/volume1/share/dl/sub/x.exe");
    QLIBCSzListFree(list);
}

INSTANTIATE_TEST_SUITE_P(Planted, RestoreThroughLinkTest, ::testing::ValuesIn(rgPlants),
                         [](const auto& testInfo) { return std::string(testInfo.param.szName); });

TEST_F(QuarantineLinkTest, RestoreStillMakesMissingRealFolders) {
    WriteFile(Real("/volume1/share/dl/sub/x.exe"), "detected");
    ASSERT_EQ(AVQuarantinePutFile("/volume1/share/dl/sub/x.exe", "Eicar"), AVQ_ERR_OK);
    fs::remove_all(Real("/volume1/share/dl"));
    EXPECT_EQ(Restore(Items()[0].szRenamedName), AVQ_ERR_OK);
    EXPECT_EQ(ReadFile(Real("/volume1/share/dl/sub/x.exe")), "detected");
    // A link at the file's own place is an existing file, never replaced.
    ASSERT_EQ(AVQuarantinePutFile("/volume1/share/dl/sub/x.exe", "Eicar"), AVQ_ERR_OK);
    fs::create_symlink("/elsewhere/x.exe", Real("/volume1/share/dl/sub/x.exe"));
    EXPECT_EQ(Restore(Items()[0].szRenamedName), AVQ_ERR_DEST_EXIST);
    ExpectVictimUntouched();
}

TEST_F(QuarantineLinkTest, PutByPathRefusesALinkOnThePath) {
    fs::create_directories(Real("/volume1/share"));
    fs::create_directory_symlink("../private", Real("/volume1/share/dl"));
    EXPECT_EQ(AVQuarantinePutFile("/volume1/share/dl/x.exe", "Eicar"), AVQ_ERR_MOVE_FAIL);
    ExpectVictimUntouched();
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(FailedReason("/volume1/share/dl/x.exe"), "a symbolic link or a file on its path");
}

// The scanner holds the folder it read the file from; the user swaps that
// folder for a link to another user's folder before the move.
TEST_F(QuarantineLinkTest, PutFromAHandleMovesTheScannedFileNotWhatThePathNowNames) {
    struct stat st;
    int dirFd = OpenDetected(&st);
    ASSERT_GE(dirFd, 0);
    fs::rename(Real("/volume1/share/dl"), Real("/volume1/share/old"));
    fs::create_directory_symlink("../private", Real("/volume1/share/dl"));

    EXPECT_EQ(AVQuarantinePutFileAt(dirFd, "x.exe", "/volume1/share/dl/x.exe", &st, "Eicar"),
              AVQ_ERR_OK);
    close(dirFd);
    ExpectVictimUntouched();
    EXPECT_FALSE(fs::exists(Real("/volume1/share/old/x.exe")));
    auto items = Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(StoredContent(items[0]), "detected");
}

TEST_F(QuarantineLinkTest, PutFromAHandleRefusesAnotherFileUnderTheSameName) {
    struct stat st;
    int dirFd = OpenDetected(&st);
    ASSERT_GE(dirFd, 0);
    // The judged file goes; a hard link to the victim's file takes its name.
    fs::remove(Real("/volume1/share/dl/x.exe"));
    fs::create_hard_link(Real("/volume1/private/x.exe"), Real("/volume1/share/dl/x.exe"));

    EXPECT_EQ(AVQuarantinePutFileAt(dirFd, "x.exe", "/volume1/share/dl/x.exe", &st, "Eicar"),
              AVQ_ERR_MOVE_FAIL);
    close(dirFd);
    EXPECT_EQ(ReadFile(Real("/volume1/private/x.exe")), "victim");
    EXPECT_TRUE(fs::exists(Real("/volume1/share/dl/x.exe")));
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(FailedCount(), 1);
    EXPECT_EQ(FailedReason("/volume1/share/dl/x.exe"),
              "the file was replaced after it was scanned");

    // The retry knows which file was judged and leaves the other one alone.
    EXPECT_EQ(AVTryProcessAgain(), 0);
    EXPECT_EQ(ReadFile(Real("/volume1/private/x.exe")), "victim");
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(FailedCount(), 1);
}

TEST_F(QuarantineLinkTest, RetryRefusesAFolderSwappedForALink) {
    WriteFile(Real("/volume1/share/dl/x.exe"), "detected");
    // The first move fails: a file stands where the quarantine folder goes.
    WriteFile(Real(std::string("/volume1/") + TAVOAV_QUARANTINE_DIR_NAME), "in the way");
    EXPECT_EQ(AVQuarantinePutFile("/volume1/share/dl/x.exe", "Eicar"), AVQ_ERR_DIR_NOT_FOUND);
    EXPECT_EQ(FailedCount(), 1);
    fs::remove(Real(std::string("/volume1/") + TAVOAV_QUARANTINE_DIR_NAME));
    fs::rename(Real("/volume1/share/dl"), Real("/volume1/share/old"));
    fs::create_directory_symlink("../private", Real("/volume1/share/dl"));

    EXPECT_EQ(AVTryProcessAgain(), 0);
    ExpectVictimUntouched();
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(FailedCount(), 1);
    EXPECT_EQ(FailedReason("/volume1/share/dl/x.exe"), "a symbolic link or a file on its path");

    // Once the real folder is back, the retry moves the file.
    fs::remove(Real("/volume1/share/dl"));
    fs::rename(Real("/volume1/share/old"), Real("/volume1/share/dl"));
    EXPECT_EQ(AVTryProcessAgain(), 1);
    EXPECT_EQ(FailedCount(), 0);
    EXPECT_FALSE(fs::exists(Real("/volume1/share/dl/x.exe")));
}

TEST_F(QuarantineLinkTest, AnOlderFailedListGainsItsNewColumns) {
    fs::create_directories(fs::path(Real(TAVOAV_FAILED_DB)).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Real(TAVOAV_FAILED_DB).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(
            db,
            "CREATE TABLE failed (id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL UNIQUE,"
            " threat TEXT NOT NULL, time TEXT NOT NULL);"
            "INSERT INTO failed (path, threat, time) VALUES ('/volume1/gone.exe', 'T', 'x')",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    WriteFile(Real("/volume1/a.exe"), "detected");
    WriteFile(Real(std::string("/volume1/") + TAVOAV_QUARANTINE_DIR_NAME), "in the way");
    EXPECT_EQ(AVQuarantinePutFile("/volume1/a.exe", "Eicar"), AVQ_ERR_DIR_NOT_FOUND);
    EXPECT_EQ(FailedCount(), 2);
    EXPECT_NE(FailedReason("/volume1/a.exe"), "");
    // The old row has no file to move any more: the retry drops it.
    fs::remove(Real(std::string("/volume1/") + TAVOAV_QUARANTINE_DIR_NAME));
    EXPECT_EQ(AVTryProcessAgain(), 1);
    EXPECT_EQ(FailedCount(), 0);
}

}  // namespace
