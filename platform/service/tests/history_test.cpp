// The scan history: runs and their detections, the bound on kept runs, a
// run whose process was killed (interrupted), who stopped a scan, why a scan
// found nothing, and many processes writing and reading at once.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tavo/tavoav_history.h"
#include "temp_root.h"

namespace {

struct RunRow {
    int64_t id;
    std::string kind, outcome, reason, startedBy, stoppedBy, endTime;
    AVHIST_COUNTERS counters;
    std::vector<std::string> targets;
};

class HistoryTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        for (const char* szName :
             {"REMOTE_USER", "REMOTE_ADDR", "TAVOAV_STARTED_BY", "TAVOAV_TEST_HISTORY_MAX_RUNS"})
            unsetenv(szName);
    }
    void TearDown() override {
        unsetenv("TAVOAV_TEST_HISTORY_MAX_RUNS");
        unsetenv("REMOTE_USER");
        TempRootTest::TearDown();
    }

    static std::vector<RunRow> List(int limit = 1000) {
        AVHIST_RUN* rgRuns = nullptr;
        int nRuns = 0;
        int64_t total = 0;
        EXPECT_EQ(AVHistoryList(0, limit, &rgRuns, &nRuns, &total), 0);
        std::vector<RunRow> runs;
        for (int i = 0; i < nRuns; ++i) {
            const AVHIST_RUN& r = rgRuns[i];
            RunRow run{r.id,          r.szKind,    r.szOutcome, r.szReason, r.szStartedBy,
                       r.szStoppedBy, r.szEndTime, r.counters,  {}};
            for (int j = 0; j < r.nTargets; ++j) run.targets.push_back(r.rgszTargets[j]);
            runs.push_back(run);
        }
        AVHistoryRunsFree(rgRuns, nRuns);
        return runs;
    }
    static std::vector<std::string> Detections(int64_t id) {
        AVHIST_RUN* pRun = nullptr;
        AVHIST_DETECTION* rgDetections = nullptr;
        int n = 0;
        std::vector<std::string> out;
        if (AVHistoryGet(id, &pRun, &rgDetections, &n) != 0) return {"no run"};
        for (int i = 0; i < n; ++i)
            out.push_back(std::string(rgDetections[i].szPath) + " " + rgDetections[i].szAction);
        AVHistoryRunsFree(pRun, 1);
        AVHistoryDetectionsFree(rgDetections, n);
        return out;
    }
    // One whole run of this process with n detections.
    static int64_t WholeRun(const char* szKind, int n, const char* szOutcome = AVHIST_COMPLETED) {
        int64_t id = AVHistoryBegin(szKind, getpid());
        if (id <= 0) return id;
        for (int i = 0; i < n; ++i) {
            std::string path = "/volume1/f" + std::to_string(i);
            if (AVHistoryAddDetection(id, path.c_str(), "Eicar", AVHIST_QUARANTINED) != 0)
                return -1;
        }
        AVHIST_COUNTERS counters{n + 5, n + 5, n, n, 0, 0, 0};
        return AVHistoryEnd(id, szOutcome, nullptr, &counters) == 0 ? id : -1;
    }
    // Rows of a table of the history database.
    int64_t Count(const char* szSql) {
        sqlite3* db = nullptr;
        int64_t n = -1;
        if (sqlite3_open_v2(Real(TAVOAV_HISTORY_DB).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, szSql, -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW)
                n = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return n;
    }
};

TEST_F(HistoryTest, ARunKeepsItsTargetsDetectionsAndCounters) {
    setenv("REMOTE_ADDR", "192.168.1.20", 1);
    int64_t id = AVHistoryBegin(AVHIST_KIND_CUSTOM, getpid());
    ASSERT_GT(id, 0);
    unsetenv("REMOTE_ADDR");
    std::vector<RunRow> runs = List();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, "running");
    EXPECT_EQ(runs[0].endTime, "");
    EXPECT_EQ(runs[0].startedBy, "address 192.168.1.20");

    const char* rgTargets[] = {"/volume1/a", "/volume1/b\nc"};
    ASSERT_EQ(AVHistoryAddTargets(id, rgTargets, 2), 0);
    ASSERT_EQ(AVHistoryAddDetection(id, "/volume1/a/x.exe", "Eicar", AVHIST_LEFT_IN_PLACE), 0);
    ASSERT_EQ(AVHistoryAddDetection(id, "/volume1/a/y.exe", "Eicar", "deleted"),
              -1);  // no such action
    runs = List();
    EXPECT_EQ(runs[0].counters.infected, 1);  // counted as it happens
    AVHIST_COUNTERS counters{7, 7, 1, 0, 0, 2, 3};
    ASSERT_EQ(AVHistoryEnd(id, AVHIST_COMPLETED, "", &counters), 0);

    runs = List();
    EXPECT_EQ(runs[0].outcome, "completed");
    EXPECT_NE(runs[0].endTime, "");
    EXPECT_EQ(runs[0].targets, (std::vector<std::string>{"/volume1/a", "/volume1/b\nc"}));
    EXPECT_EQ(runs[0].counters.unreadable, 2);
    EXPECT_EQ(runs[0].counters.cached, 3);
    EXPECT_EQ(Detections(id), std::vector<std::string>{"/volume1/a/x.exe left in place"});
    EXPECT_EQ(Detections(id + 1), std::vector<std::string>{"no run"});
    EXPECT_EQ(AVHistoryBegin("weekly", getpid()), -1);
}

TEST_F(HistoryTest, OnlyTheNewestRunsAreKeptAndTheOldestGoWithTheirDetections) {
    setenv("TAVOAV_TEST_HISTORY_MAX_RUNS", "3", 1);
    // A run that is still going is never dropped, however old.
    pid_t sleeper = fork();
    if (sleeper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
    }
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper{sleeper};
    int64_t running = AVHistoryBegin(AVHIST_KIND_FULL, sleeper);
    ASSERT_GT(running, 0);
    std::vector<int64_t> ids;
    for (int i = 0; i < 6; ++i) {
        ids.push_back(WholeRun(AVHIST_KIND_SYSTEM, 2));
        ASSERT_GT(ids.back(), 0);
    }
    std::vector<RunRow> runs = List();
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].id, ids[5]);
    EXPECT_EQ(runs[2].id, ids[3]);
    EXPECT_EQ(runs[3].id, running);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM detections"), 6);  // the 3 kept runs' detections
    EXPECT_EQ(Count("SELECT COUNT(*) FROM detections WHERE run NOT IN (SELECT id FROM runs)"), 0);
    EXPECT_EQ(Detections(ids[0]), std::vector<std::string>{"no run"});

    // A page and the total agree.
    AVHIST_RUN* rgRuns = nullptr;
    int n = 0;
    int64_t total = 0;
    ASSERT_EQ(AVHistoryList(1, 2, &rgRuns, &n, &total), 0);
    EXPECT_EQ(total, 4);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(rgRuns[0].id, ids[4]);
    AVHistoryRunsFree(rgRuns, n);
}

TEST_F(HistoryTest, AtMostTheBoundOfDetectionsIsKeptAndTheCountersStayTrue) {
    int64_t id = AVHistoryBegin(AVHIST_KIND_FULL, getpid());
    ASSERT_GT(id, 0);
    // Straight into the database: ten thousand detections one by one would be slow.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Real(TAVOAV_HISTORY_DB).c_str(), &db), SQLITE_OK);
    std::string sql = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                      std::to_string(AVHIST_MAX_DETECTIONS - 1) +
                      ") INSERT INTO detections (run, path, threat, action) SELECT " +
                      std::to_string(id) + ", 'p' || i, 'T', 'quarantined' FROM n";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(AVHistoryAddDetection(id, "/volume1/last", "T", AVHIST_QUARANTINED), 0);
    ASSERT_EQ(AVHistoryAddDetection(id, "/volume1/over", "T", AVHIST_QUARANTINED), 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM detections"), AVHIST_MAX_DETECTIONS);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM detections WHERE path = '/volume1/over'"), 0);
    EXPECT_EQ(List()[0].counters.infected, 2);
}

// The scanner's process is killed in the middle of its run: the next reader
// records the run as interrupted, with the counters the engine state kept.
TEST_F(HistoryTest, ARunWhoseProcessWasKilledIsRecordedAsInterrupted) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        // Never outlives the test, whatever fails in it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int64_t id = -1;
        if (AVEngScanBegin(getpid(), 40) == 0) {
            id = AVHistoryBegin(AVHIST_KIND_FULL, getpid());
            AVHistoryAddDetection(id, "/volume1/bad.exe", "Eicar", AVHIST_QUARANTINED);
            AVEngScanProgress(getpid(), "/volume1/f", 12, 1, 0, 2, nullptr, nullptr);
        }
        if (write(fds[1], &id, sizeof id) != static_cast<ssize_t>(sizeof id)) _exit(1);
        for (;;) pause();
    }
    close(fds[1]);
    int64_t id = 0;
    ASSERT_EQ(read(fds[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
    close(fds[0]);
    ASSERT_GT(id, 0);
    std::vector<RunRow> runs = List();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, "running");  // alive: left alone

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    runs = List();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, "interrupted");
    EXPECT_EQ(runs[0].reason, "the scanner ended before the scan was done");
    EXPECT_NE(runs[0].endTime, "");
    EXPECT_EQ(runs[0].counters.total, 40);
    EXPECT_EQ(runs[0].counters.scanned, 12);
    EXPECT_EQ(runs[0].counters.infected, 1);
    EXPECT_EQ(runs[0].counters.quarantined, 1);
    EXPECT_EQ(runs[0].counters.unreadable, 2);
    EXPECT_EQ(Detections(id), std::vector<std::string>{"/volume1/bad.exe quarantined"});
}

TEST_F(HistoryTest, AStopNamesWhoAskedForIt) {
    ASSERT_EQ(AVEngScanBegin(getpid(), 0), 0);
    int64_t id = AVHistoryBegin(AVHIST_KIND_FULL, getpid());
    ASSERT_GT(id, 0);
    setenv("REMOTE_USER", "admin", 1);
    ASSERT_EQ(AVStop(), 0);
    unsetenv("REMOTE_USER");
    AVHIST_COUNTERS counters{10, 4, 0, 0, 0, 0, 0};
    ASSERT_EQ(AVHistoryEnd(id, AVHIST_STOPPED, nullptr, &counters), 0);
    std::vector<RunRow> runs = List();
    EXPECT_EQ(runs[0].outcome, "stopped");
    EXPECT_EQ(runs[0].stoppedBy, "user admin");
    EXPECT_EQ(runs[0].reason, "");
}

TEST_F(HistoryTest, ACustomScanThatScannedNothingSaysWhyForEachTarget) {
    std::filesystem::create_directories(Real("/volume1/trusted"));
    std::filesystem::create_directories(Real("/volume1/empty"));
    std::filesystem::create_symlink(Real("/volume1/empty"), Real("/volume1/link"));
    ASSERT_EQ(AVWhiteListAdd("/volume1/trusted"), 0);
    int64_t id = AVHistoryBegin(AVHIST_KIND_CUSTOM, getpid());
    const char* rgTargets[] = {"docs/x", "/volume1/missing", "/volume1/trusted/../trusted",
                               "/volume1/empty", "/volume1/link/a"};
    ASSERT_EQ(AVHistoryAddTargets(id, rgTargets, 5), 0);
    AVHIST_COUNTERS counters{};
    ASSERT_EQ(AVHistoryEnd(id, AVHIST_COMPLETED, nullptr, &counters), 0);
    EXPECT_EQ(List()[0].reason,
              "docs/x is not an absolute path; /volume1/missing does not exist; "
              "/volume1/trusted/../trusted is on "
              "the white list; /volume1/empty holds no file to scan; /volume1/link/a cannot be "
              "reached: a symbolic "
              "link on its path");

    int64_t full = WholeRun(AVHIST_KIND_FULL, 0);
    AVHIST_COUNTERS none{};
    ASSERT_EQ(AVHistoryEnd(full, AVHIST_COMPLETED, nullptr, &none), 0);
    EXPECT_EQ(List()[0].reason, "no file to scan was found on the volumes");
    // A failure keeps its own reason.
    int64_t failed = AVHistoryBegin(AVHIST_KIND_CUSTOM, getpid());
    ASSERT_EQ(AVHistoryEnd(failed, AVHIST_FAILED, "cannot read the file list", &none), 0);
    EXPECT_EQ(List()[0].reason, "cannot read the file list");
}

// Writers in several processes record whole runs while readers page
// through the history: every run and detection is there, no call fails.
TEST_F(HistoryTest, ConcurrentRunsAndRequestsLoseNothing) {
    const int kWriters = 4;
    const int kRunsEach = 8;
    const int kReaders = 2;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int r = 0; r < kRunsEach; ++r)
                if (WholeRun(w % 2 ? AVHIST_KIND_FULL : AVHIST_KIND_CUSTOM, 3) <= 0) _exit(1);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (int r = 0; r < kReaders; ++r) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 40; ++i) {
                AVHIST_RUN* rgRuns = nullptr;
                int n = 0;
                int64_t total = 0;
                if (AVHistoryList(0, 10, &rgRuns, &n, &total) != 0) _exit(1);
                if (n > 0) {
                    AVHIST_RUN* pRun = nullptr;
                    AVHIST_DETECTION* rgDetections = nullptr;
                    int nDetections = 0;
                    if (AVHistoryGet(rgRuns[0].id, &pRun, &rgDetections, &nDetections) != 0)
                        _exit(2);
                    AVHistoryRunsFree(pRun, 1);
                    AVHistoryDetectionsFree(rgDetections, nDetections);
                }
                AVHistoryRunsFree(rgRuns, n);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    std::vector<RunRow> runs = List();
    ASSERT_EQ(runs.size(), static_cast<size_t>(kWriters * kRunsEach));
    for (const RunRow& run : runs) {
        EXPECT_EQ(run.outcome, "completed");
        EXPECT_EQ(run.counters.infected, 3);
        EXPECT_EQ(Detections(run.id).size(), 3u);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Real(TAVOAV_HISTORY_DB).c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(HistoryTest, RunsFailedBeforeTheyBeganAreRecorded) {
    ASSERT_GT(AVHistoryRecordFailed(AVHIST_KIND_SYSTEM, "another scan is running"), 0);
    std::vector<RunRow> runs = List();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].kind, "system");
    EXPECT_EQ(runs[0].outcome, "failed");
    EXPECT_EQ(runs[0].reason, "another scan is running");
    EXPECT_EQ(runs[0].startedBy, "local");
}

}  // namespace
