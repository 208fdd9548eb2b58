// The audit trail: every change the service makes is one report event that
// names what changed and who asked (the HTTP user, else the address, the
// schedule, or "local"), stays on one line whatever a file name holds, and
// a repeated request that changes nothing writes none.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tavo/tavoav_engine.h"
#include "tavo/tavoav_history.h"
#include "temp_root.h"

namespace {

class AuditTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        for (const char* szName : {"REMOTE_USER", "REMOTE_ADDR", "TAVOAV_STARTED_BY"})
            unsetenv(szName);
        setenv("REMOTE_USER", "admin", 1);
    }
    void TearDown() override {
        for (const char* szName : {"REMOTE_USER", "REMOTE_ADDR", "TAVOAV_STARTED_BY"})
            unsetenv(szName);
        TempRootTest::TearDown();
    }
    // "class module: text" of every event, oldest first.
    std::vector<std::string> Events() {
        std::vector<std::string> events;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(Real(TAVOAV_REPORT_DB).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT class, module, eventText FROM report ORDER BY id",
                                   -1, &stmt, nullptr) == SQLITE_OK) {
                while (sqlite3_step(stmt) == SQLITE_ROW)
                    events.push_back(
                        std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) +
                        " " + reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)) + ": " +
                        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)));
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return events;
    }
    // The events written since the last call.
    std::vector<std::string> NewEvents() {
        std::vector<std::string> all = Events();
        std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                       all.end());
        seen_ = all.size();
        return fresh;
    }
    // A quarantined item of /volume1, by the service's own put.
    std::string Quarantine(const std::string& relative) {
        WriteFile(Real("/volume1" + relative), "infected");
        EXPECT_EQ(AVQuarantinePutFile(("/volume1" + relative).c_str(), "Eicar-Test-Signature"),
                  AVQ_ERR_OK);
        QUARANTINE_PATH path;
        EXPECT_EQ(AVQuarantineGet("/volume1", &path), 0);
        QUARANTINE_FILE* pFiles = nullptr;
        int count = 0;
        EXPECT_EQ(AVQuarantineDBReadFrom(&path, &pFiles, &count), 0);
        std::string name = count > 0 ? pFiles[count - 1].szRenamedName : "";
        free(pFiles);
        return name;
    }
    QUARANTINE_CONN* Connect() {
        QUARANTINE_PATH path;
        QUARANTINE_CONN* pConn = nullptr;
        EXPECT_EQ(AVQuarantineGet("/volume1", &path), 0);
        EXPECT_EQ(AVQuarantineConnect(&path, &pConn), 0);
        return pConn;
    }

    size_t seen_ = 0;
};

TEST_F(AuditTest, TheRequesterIsTheUserElseTheAddressElseTheScheduleElseLocal) {
    ASSERT_EQ(AVWhiteListAdd("/volume1/a"), 0);
    unsetenv("REMOTE_USER");
    setenv("REMOTE_ADDR", "192.168.1.20", 1);
    ASSERT_EQ(AVWhiteListAdd("/volume1/b"), 0);
    unsetenv("REMOTE_ADDR");
    setenv("TAVOAV_STARTED_BY", "schedule", 1);
    ASSERT_EQ(AVWhiteListAdd("/volume1/c"), 0);
    unsetenv("TAVOAV_STARTED_BY");
    ASSERT_EQ(AVWhiteListAdd("/volume1/d"), 0);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{
                  "info config: Added to the white list by user admin: /volume1/a",
                  "info config: Added to the white list by address 192.168.1.20: /volume1/b",
                  "info config: Added to the white list by schedule: /volume1/c",
                  "info config: Added to the white list by local: /volume1/d",
              }));
}

// A file name (or a user name) with control bytes cannot start a forged line
// in the log or its export.
TEST_F(AuditTest, EveryEventStaysOneLine) {
    setenv("REMOTE_USER", "eve\nerror scan: forged", 1);
    ASSERT_EQ(AVWhiteListAdd("/volume1/x\tinfo quarantine: Restored\x1b[2J"), 0);
    std::vector<std::string> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0],
              "info config: Added to the white list by user eve\\nerror scan: forged: "
              "/volume1/x\\tinfo quarantine: Restored\\x1b[2J");
}

TEST_F(AuditTest, ListChangesNameTheEntryAndRepeatsTellNothing) {
    ASSERT_EQ(AVWhiteListAdd("/volume1/docs"), 0);
    ASSERT_EQ(AVWhiteListAdd("/volume1/docs"), 0);  // already listed
    ASSERT_EQ(AVWhiteListRemove("/volume1/docs"), 0);
    ASSERT_NE(AVWhiteListRemove("/volume1/docs"), 0);  // not listed
    ASSERT_EQ(AVExtensionListAdd("xyz"), 1);
    ASSERT_EQ(AVExtensionListAdd("xyz"), 0);
    ASSERT_EQ(AVExtensionListRemove("xyz"), 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            "info config: Added to the white list by user admin: /volume1/docs",
                            "info config: Removed from the white list by user admin: /volume1/docs",
                            "info config: Extension added to the scan list by user admin: xyz",
                            "info config: Extension removed from the scan list by user admin: xyz",
                        }));
}

TEST_F(AuditTest, ConfigurationChangesTellTheOldAndNewValues) {
    ASSERT_EQ(AVSetScanFilterRule(TAVOAV_SCAN_ALL), OKAY);  // the factory value: no change
    ASSERT_EQ(AVSetScanFilterRule(TAVOAV_SCAN_EXTENSIONS), OKAY);
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), OKAY);
    ASSERT_EQ(AVSetAutoUpdate(FALSE), OKAY);
    ASSERT_EQ(AVResetConf(), OKAY);
    ASSERT_EQ(AVResetConf(), OKAY);
    EXPECT_EQ(
        Events(),
        (std::vector<std::string>{
            "info config: Configuration changed by user admin: files to scan from all files to "
            "listed "
            "extensions only",
            "info config: Configuration changed by user admin: action on infected files from "
            "quarantine to "
            "do nothing",
            "info config: Configuration changed by user admin: update before scan from on to off",
            "info config: Configuration reset to the factory values by user admin: update before "
            "scan from off "
            "to on; action on infected files from do nothing to quarantine; files to scan from "
            "listed "
            "extensions only to all files",
            "info config: Configuration reset to the factory values by user admin: nothing changed",
        }));
}

TEST_F(AuditTest, ScanWorkersAreKeptBesideTheScannerSettings) {
    WriteFile(Real(TAVOAV_SCANNER_CONF_FILE), "cacheMaxFiles=5\nscanThreads=2\n");
    int workers = -1;
    ASSERT_EQ(AVGetScanWorkers(&workers), 0);
    EXPECT_EQ(workers, 2);
    ASSERT_EQ(AVSetScanWorkers(0), 0);
    EXPECT_EQ(ReadFile(Real(TAVOAV_SCANNER_CONF_FILE)), "cacheMaxFiles=5\n");
    ASSERT_EQ(AVGetScanWorkers(&workers), 0);
    EXPECT_EQ(workers, 0);
    ASSERT_EQ(AVSetScanWorkers(8), 0);
    EXPECT_EQ(ReadFile(Real(TAVOAV_SCANNER_CONF_FILE)), "cacheMaxFiles=5\nscanThreads=8\n");
    EXPECT_NE(AVSetScanWorkers(65), 0);
    EXPECT_NE(AVSetMaxFileSizeMB(4097), OKAY);
    EXPECT_EQ(
        Events(),
        (std::vector<std::string>{
            "info config: Configuration changed by user admin: scan workers from 2 to one per CPU",
            "info config: Configuration changed by user admin: scan workers from one per CPU to 8",
        }));
}

TEST_F(AuditTest, AnUpdateSourceChangeTellsEachValueThatChanged) {
    TAVOAV_UPDATE_SOURCE source;
    ASSERT_EQ(AVUpdateSourceGet(&source), OKAY);
    snprintf(source.szSource, sizeof source.szSource, "%s", AVUPD_SOURCE_HTTP);
    snprintf(source.szUrls, sizeof source.szUrls, "http://127.0.0.1:8080/db/extra.ndb");
    source.intervalHours = 6;
    ASSERT_EQ(AVUpdateSourceSet(&source), OKAY);
    // The same values again change nothing and tell nothing.
    ASSERT_EQ(AVUpdateSourceSet(&source), OKAY);
    source.intervalHours = 0;
    snprintf(source.szProxy, sizeof source.szProxy, "http://proxy.lan:3128");
    ASSERT_EQ(AVUpdateSourceSet(&source), OKAY);
    // A refused value changes nothing and tells nothing either.
    source.intervalHours = 5;
    ASSERT_EQ(AVUpdateSourceSet(&source), ERR_TAVOAV_PARAMETER_ERROR);
    EXPECT_EQ(
        Events(),
        (std::vector<std::string>{
            "info config: Update source changed by user admin: source from folder to http; URLs "
            "from (none) to http://127.0.0.1:8080/db/extra.ndb; update interval from off to every "
            "6 "
            "hours",
            "info config: Update source changed by user admin: proxy from (none) to "
            "http://proxy.lan:3128; update interval from every 6 hours to off",
        }));
}

TEST_F(AuditTest, AScheduleSaveTellsTheJobsBeforeAndAfter) {
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVScheduleDBConnect(&pConn), OKAY);
    ASSERT_EQ(AVScheduleClear(pConn), OKAY);
    ASSERT_EQ(AVScheduleInsert(pConn, 1, "0 3 * * 1", "full", ""), OKAY);
    ASSERT_EQ(AVScheduleDump2Crontab(pConn), OKAY);
    ASSERT_EQ(AVScheduleClear(pConn), OKAY);
    ASSERT_EQ(AVScheduleInsert(pConn, 1, "0 3 * * 1", "full", ""), OKAY);
    ASSERT_EQ(AVScheduleInsert(pConn, 0, "30 2 * * 0", "custom", "/volume1/a:/volume2/b"), OKAY);
    ASSERT_EQ(AVScheduleDump2Crontab(pConn), OKAY);
    // Saved again as it is: no change to tell.
    ASSERT_EQ(AVScheduleClear(pConn), OKAY);
    ASSERT_EQ(AVScheduleInsert(pConn, 1, "0 3 * * 1", "full", ""), OKAY);
    ASSERT_EQ(AVScheduleInsert(pConn, 0, "30 2 * * 0", "custom", "/volume1/a:/volume2/b"), OKAY);
    ASSERT_EQ(AVScheduleDump2Crontab(pConn), OKAY);
    AVScheduleDBClose(pConn);
    EXPECT_EQ(
        Events(),
        (std::vector<std::string>{
            "info schedule: Schedule changed by user admin from no jobs to on \"0 3 * * 1\" full",
            "info schedule: Schedule changed by user admin from on \"0 3 * * 1\" full to on "
            "\"0 3 * * 1\" full; off \"30 2 * * 0\" custom /volume1/a:/volume2/b",
        }));
}

TEST_F(AuditTest, QuarantineChangesNameTheItem) {
    std::string deleted = Quarantine("/dl/a.exe");
    std::string restored = Quarantine("/dl/b.exe");
    ASSERT_FALSE(deleted.empty());
    NewEvents();
    QUARANTINE_CONN* pConn = Connect();
    ASSERT_EQ(AVQuarantineDeleteFile(pConn, deleted.c_str(), deleted.size()), AVQ_ERR_OK);
    ASSERT_EQ(AVQuarantineRestoreFile(pConn, restored.c_str(), restored.size()), AVQ_ERR_OK);
    // Restoring onto a file that is there again changes nothing and tells nothing.
    std::string again = Quarantine("/dl/c.exe");
    WriteFile(Real("/volume1/dl/c.exe"), "new");
    NewEvents();
    EXPECT_EQ(AVQuarantineRestoreFile(pConn, again.c_str(), again.size()), AVQ_ERR_DEST_EXIST);
    EXPECT_TRUE(NewEvents().empty());
    AVQuarantineClose(&pConn);
    FAILED_QITEM_LIST* pFailed = nullptr;
    ASSERT_EQ(AVQuarantineDeleteAllFiles(&pFailed), 0);
    AVQuarantineFailListFree(pFailed);

    std::vector<std::string> events = Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_NE(
        std::find(events.begin(), events.end(),
                  "info quarantine: Deleted from the quarantine by user admin: /volume1/dl/a.exe "
                  "(Eicar-Test-Signature)"),
        events.end());
    EXPECT_NE(
        std::find(events.begin(), events.end(),
                  "info quarantine: Restored from the quarantine by user admin: /volume1/dl/b.exe "
                  "(Eicar-Test-Signature)"),
        events.end());
    EXPECT_EQ(
        events.back(),
        "info quarantine: Deletion of every quarantined item by user admin: 1 deleted, 0 refused");
}

TEST_F(AuditTest, ClearAndRetryOfFailedMovesNameTheFilesAndRetryIsARun) {
    // Moves that fail: the files are not on a volume.
    WriteFile(Real("/data/a.exe"), "x");
    WriteFile(Real("/data/b.exe"), "x");
    ASSERT_NE(AVQuarantinePutFile("/data/a.exe", "T1"), AVQ_ERR_OK);
    ASSERT_NE(AVQuarantinePutFile("/data/b.exe", "T2"), AVQ_ERR_OK);
    NewEvents();
    EXPECT_EQ(AVTryProcessAgain(), 0);
    EXPECT_EQ(
        NewEvents(),
        std::vector<std::string>{
            "warning quarantine: Failed moves re-processed by user admin: 0 moved to quarantine, "
            "2 still failing (/data/a.exe (no such volume), /data/b.exe (no such volume))"});
    AVHIST_RUN* rgRuns = nullptr;
    int n = 0;
    int64_t total = 0;
    ASSERT_EQ(AVHistoryList(0, 10, &rgRuns, &n, &total), 0);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(rgRuns[0].szKind, "reprocess");
    EXPECT_STREQ(rgRuns[0].szOutcome, "completed");
    EXPECT_STREQ(rgRuns[0].szStartedBy, "user admin");
    EXPECT_EQ(rgRuns[0].nTargets, 2);
    EXPECT_EQ(rgRuns[0].counters.failedMoves, 2);
    EXPECT_EQ(rgRuns[0].counters.quarantined, 0);
    AVHistoryRunsFree(rgRuns, n);

    ASSERT_EQ(AVQuarantineFailClear(), 0);
    EXPECT_EQ(
        NewEvents(),
        std::vector<std::string>{
            "info quarantine: List of failed moves cleared by user admin: 2 entries: /data/a.exe "
            "(T1), /data/b.exe (T2)"});
    ASSERT_EQ(AVQuarantineFailClear(), 0);  // nothing left: nothing to tell
    EXPECT_TRUE(NewEvents().empty());
}

TEST_F(AuditTest, PauseResumeStopAndAcknowledgeTellWhoAndOnlyOnce) {
    ASSERT_EQ(AVEngScanBegin(getpid(), 0), 0);
    ASSERT_EQ(AVScanPause(), 0);
    ASSERT_EQ(AVScanPause(), 0);  // already paused
    ASSERT_EQ(AVScanResume(), 0);
    ASSERT_EQ(AVStop(), 0);
    ASSERT_EQ(AVStop(), 0);
    ASSERT_EQ(AVEngScanEnd(getpid(), AVENG_SCAN_STOPPED), 0);
    unsetenv("REMOTE_USER");
    setenv("REMOTE_ADDR", "10.0.0.7", 1);
    ASSERT_EQ(AVClearStayInNotify(), 0);
    ASSERT_EQ(AVClearStayInNotify(), 0);  // the notice is down already
    EXPECT_EQ(Events(), (std::vector<std::string>{
                            "info scan: Scan paused by user admin",
                            "info scan: Scan resumed by user admin",
                            "info scan: Stop of the scan requested by user admin",
                            "info scan: Scan result acknowledged by address 10.0.0.7",
                        }));

    // The scanner takes down the notice of a scan that failed itself: not an acknowledgement.
    ASSERT_EQ(AVEngScanBegin(getpid(), 0), 0);
    ASSERT_EQ(AVEngScanEnd(getpid(), AVENG_SCAN_FAILED), 0);
    NewEvents();
    ASSERT_EQ(AVClearStayInNotify(), 0);
    EXPECT_TRUE(NewEvents().empty());
}

TEST_F(AuditTest, AnUpdateTellsWhoStartedIt) {
    WriteFile(Real(TAVOAV_MIRROR_DIR "/demo.ndb"), "Demo:0:*:4141414141\n");
    // The update has the scanner check the new set before it installs it.
    std::filesystem::create_directories(
        std::filesystem::path(Real(TAVOAV_SCANNER_PATH)).parent_path());
    std::filesystem::create_symlink(TAVOAVSCAN_BIN, Real(TAVOAV_SCANNER_PATH));
    ASSERT_EQ(AVUpdate_m(), OKAY);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"info update: Definition update started by user admin",
                                        "info update: Virus definitions updated"}));
}

}  // namespace
