// The schedule table and its crontab block on a temporary root.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

const char* const kBegin =
    "# BEGIN AntiVirus-Zentrel scheduled scans (written by the package, do not edit)";
const char* const kEnd = "# END AntiVirus-Zentrel scheduled scans";
const std::string kScanner = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan";
const std::string kOtherLines =
    "# /etc/crontab: system-wide crontab\n"
    "SHELL=/bin/sh\n"
    "\n"
    "17 *\t* * *\troot    cd / && run-parts --report /etc/cron.hourly\n"
    "  # indented comment  \n";

// Whether /proc/locks shows process pid waiting for a flock on the file inode.
bool WaitsForFlock(pid_t pid, ino_t inode) {
    std::ifstream in("/proc/locks");
    std::string line;
    const std::string pidField = " " + std::to_string(pid) + " ";
    const std::string inodeField = ":" + std::to_string(inode) + " ";
    while (std::getline(in, line)) {
        if (line.find("-> FLOCK") != std::string::npos &&
            line.find(pidField) != std::string::npos && line.find(inodeField) != std::string::npos)
            return true;
    }
    return false;
}

class ScheduleTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        ASSERT_EQ(AVScheduleDBConnect(&conn_), 0);
    }
    void TearDown() override {
        AVScheduleDBClose(conn_);
        TempRootTest::TearDown();
    }
    std::vector<std::vector<std::string>> Rows() {
        std::vector<std::vector<std::string>> rows;
        DBResult* result = nullptr;
        EXPECT_EQ(TAVODBExecute(conn_, "SELECT * FROM schedule;", &result), 0);
        DBRow row;
        while (TAVODBFetchRow(result, &row) == 0) {
            rows.push_back({TAVODBFetchField(result, row, "activated"),
                            TAVODBFetchField(result, row, "triggerTime"),
                            TAVODBFetchField(result, row, "scanType"),
                            TAVODBFetchField(result, row, "scanTarget")});
        }
        TAVODBFreeResult(result);
        return rows;
    }
    std::string Crontab() const { return ReadFile(Real("/etc/crontab")); }
    std::vector<std::string> BlockLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Crontab());
        std::string line;
        bool blIn = false;
        while (std::getline(in, line)) {
            if (line == kBegin)
                blIn = true;
            else if (line == kEnd)
                blIn = false;
            else if (blIn)
                lines.push_back(line);
        }
        return lines;
    }
    DBConnect* conn_ = nullptr;
};

TEST_F(ScheduleTest, InsertStoresTheTextsAsGivenAndClearEmptiesTheTable) {
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 3 * * 1", "full", ""), 0);
    // Quotes and SQL in a text are stored as text.
    ASSERT_EQ(
        AVScheduleInsert(conn_, 0, "*/15  1-5,7 * * 0-6", "system", "x'); DROP TABLE schedule;--"),
        0);
    ASSERT_EQ(AVScheduleInsert(conn_, 2, "30 23 31 12 7", "custom", "/volume1/a b:/volume2/it's"),
              0);
    EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{
                          {"1", "0 3 * * 1", "full", ""},
                          {"0", "*/15  1-5,7 * * 0-6", "system", "x'); DROP TABLE schedule;--"},
                          {"2", "30 23 31 12 7", "custom", "/volume1/a b:/volume2/it's"}}));
    ASSERT_EQ(AVScheduleClear(conn_), 0);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(ScheduleTest, HostileOrMalformedJobsAreRefused) {
    struct Case {
        const char* szTime;
        const char* szType;
        const char* szTarget;
    };
    const Case cases[] = {
        {"0 3 * * 1; rm -rf /", "full", ""},
        {"0 3 * * 1\n* * * * * root /bin/sh", "full", ""},
        {"0 3 * * $(reboot)", "full", ""},
        {"0 3 * *", "full", ""},
        {"0 3 * * 1 2", "full", ""},
        {"60 3 * * 1", "full", ""},
        {"0 24 * * 1", "full", ""},
        {"0 3 0 * 1", "full", ""},
        {"0 3 * 13 1", "full", ""},
        {"0 3 * * 8", "full", ""},
        {"*/0 3 * * 1", "full", ""},
        {"5-1 3 * * 1", "full", ""},
        {"1-2-3 3 * * 1", "full", ""},
        {"0,,1 3 * * 1", "full", ""},
        {"0\t3 * * 1", "full", ""},
        {"@reboot", "full", ""},
        {"", "full", ""},
        {"0 3 * * 1", "full --all", ""},
        {"0 3 * * 1", "Full", ""},
        {"0 3 * * 1", "", ""},
        {"0 3 * * 1", "custom", ""},
        {"0 3 * * 1", "custom", "relative/path"},
        {"0 3 * * 1", "custom", "/volume1/a::/volume1/b"},
        {"0 3 * * 1", "custom", "/volume1/a\n0 * * * * root /bin/sh"},
        {"0 3 * * 1", "full", "\r"},
    };
    for (const Case& c : cases)
        EXPECT_NE(AVScheduleInsert(conn_, 1, c.szTime, c.szType, c.szTarget), 0)
            << c.szTime << "|" << c.szType << "|" << c.szTarget;
    EXPECT_NE(AVScheduleInsert(conn_, 1, nullptr, "full", ""), 0);
    EXPECT_NE(AVScheduleInsert(nullptr, 1, "0 3 * * 1", "full", ""), 0);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(ScheduleTest, DumpWritesOneLinePerActivatedJobAndKeepsEveryOtherLine) {
    WriteFile(Real("/etc/crontab"), kOtherLines);
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 3 * * 1", "full", "ignored"), 0);
    ASSERT_EQ(AVScheduleInsert(conn_, 0, "0 4 * * 1", "system", ""), 0);
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "15  2 * * *", "system", ""), 0);
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "30 1 1 * *", "custom", "/volume1/a b:/volume2/c;d"), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);

    std::string text = Crontab();
    EXPECT_EQ(text.compare(0, kOtherLines.size(), kOtherLines), 0);
    std::vector<std::string> block = BlockLines();
    ASSERT_EQ(block.size(), 3u);
    EXPECT_EQ(block[0], "0 3 * * 1 root " + kScanner + " --all");
    EXPECT_EQ(block[1], "15 2 * * * root " + kScanner + " --system");
    const std::string prefix =
        "30 1 1 * * root " + kScanner + " -f /var/packages/AntiVirus-Zentrel/target/tmp/";
    ASSERT_EQ(block[2].compare(0, prefix.size(), prefix), 0) << block[2];
    std::string fileList = block[2].substr(block[2].find(" -f ") + 4);
    PQLIBSZLIST list = nullptr;
    ASSERT_EQ(AVFileListRead(fileList.c_str(), &list), 0);
    ASSERT_EQ(list->nItem, 2);
    EXPECT_STREQ(QLIBCSzListGet(list, 0), "/volume1/a b");
    EXPECT_STREQ(QLIBCSzListGet(list, 1), "/volume2/c;d");
    QLIBCSzListFree(list);
    EXPECT_EQ(text.back(), '\n');

    // A new schedule replaces the block in place; the old file-list goes.
    std::string more = "# a line added after the block\n";
    WriteFile(Real("/etc/crontab"), text + more);
    ASSERT_EQ(AVScheduleClear(conn_), 0);
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 5 * * 6", "system", ""), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(Crontab(), kOtherLines + kBegin + "\n0 5 * * 6 root " + kScanner + " --system\n" +
                             kEnd + "\n" + more);
    EXPECT_FALSE(std::filesystem::exists(Real(fileList)));

    // A line someone put inside the block stays; only the package's lines are replaced.
    std::string withForeign = Crontab();
    const std::string foreign = "0 0 * * * nobody /usr/bin/true\n";
    withForeign.insert(withForeign.find(kEnd), foreign);
    WriteFile(Real("/etc/crontab"), withForeign);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(Crontab(), kOtherLines + kBegin + "\n0 5 * * 6 root " + kScanner + " --system\n" +
                             kEnd + "\n" + foreign + more);

    // No activated job: no block at all.
    ASSERT_EQ(AVScheduleClear(conn_), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(Crontab(), kOtherLines + foreign + more);
}

TEST_F(ScheduleTest, DumpAddsTheBlockToACrontabWithoutFinalLineEndOrNone) {
    WriteFile(Real("/etc/crontab"), "SHELL=/bin/sh");
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 3 * * 1", "full", ""), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(Crontab(), std::string("SHELL=/bin/sh\n") + kBegin + "\n0 3 * * 1 root " + kScanner +
                             " --all\n" + kEnd + "\n");

    std::filesystem::remove(Real("/etc/crontab"));
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(BlockLines(), std::vector<std::string>{"0 3 * * 1 root " + kScanner + " --all"});
}

TEST_F(ScheduleTest, AHostileRowWrittenBehindTheServiceFailsTheDumpAndChangesNothing) {
    WriteFile(Real("/etc/crontab"), kOtherLines);
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 3 * * 1", "full", ""), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    const std::string before = Crontab();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Real(TAVOAV_SCHEDULE_DB).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "INSERT INTO schedule VALUES (1, '* * * * * root /bin/sh #', 'full', '')",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "INSERT INTO schedule VALUES (1, '0 1 * * *', 'custom', '/volume1/x')",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    EXPECT_NE(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(Crontab(), before);
    // No file-list of the refused dump is left behind.
    EXPECT_TRUE(ListDir(Real(TAVOAV_FILELIST_DIR)).empty());

    // The same row, deactivated, writes no line and no longer blocks the dump.
    ASSERT_EQ(sqlite3_open(Real(TAVOAV_SCHEDULE_DB).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(
            db,
            "UPDATE schedule SET activated = 0 WHERE scanType = 'full' AND triggerTime LIKE '%sh%'",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(AVScheduleDump2Crontab(conn_), 0);
    EXPECT_EQ(BlockLines().size(), 2u);
}

// Services of the old and the new code must exclude each other: the dump
// waits for the flock of "<package>/.crontab.lock", whoever holds it.
TEST_F(ScheduleTest, DumpWaitsForTheCrontabLock) {
    ASSERT_EQ(AVScheduleInsert(conn_, 1, "0 3 * * 1", "full", ""), 0);
    const std::string lockPath = Real("/var/packages/AntiVirus-Zentrel/target/.crontab.lock");
    std::filesystem::create_directories(std::filesystem::path(lockPath).parent_path());
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fd);  // the lock stays with the parent's descriptor alone
        _exit(AVScheduleDump2Crontab(conn_) == 0 ? 0 : 1);
    }
    // Until the child is seen waiting on this lock; a child that ends first
    // did not wait for it.
    bool blWaiting = false;
    bool blEnded = false;
    int status = 0;
    for (int i = 0; i < 6000 && !blWaiting && !blEnded; ++i) {
        blEnded = waitpid(child, &status, WNOHANG) == child;
        blWaiting = !blEnded && WaitsForFlock(child, st.st_ino);
        if (!blWaiting && !blEnded) usleep(10000);
    }
    EXPECT_TRUE(blWaiting);
    EXPECT_TRUE(BlockLines().empty());  // nothing written while the lock is held
    close(fd);
    if (!blEnded) {
        ASSERT_EQ(waitpid(child, &status, 0), child);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(BlockLines(), std::vector<std::string>{"0 3 * * 1 root " + kScanner + " --all"});
}

}  // namespace
