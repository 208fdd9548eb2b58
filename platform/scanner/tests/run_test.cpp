// The tavoavscan program on a temporary root with the real service library:
// what it detects, moves, counts and reports.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "scan_test_util.h"
#include "tavo/tavoav.h"
#include "tavo/tavoav_engine.h"

using scantest::Eicar;
using scantest::TempRootTest;

namespace {

struct Event {
    std::string cls, module, text;
};

struct QItem {
    std::string fullPath, threat;
    bool operator<(const QItem& o) const {
        return std::tie(fullPath, threat) < std::tie(o.fullPath, o.threat);
    }
    bool operator==(const QItem& o) const { return fullPath == o.fullPath && threat == o.threat; }
};

pid_t Spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        std::string program = TAVOAVSCAN_BIN;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunScanner(const std::vector<std::string>& args) { return Wait(Spawn(args)); }

}  // namespace

class ScannerRunTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        unsetenv("TAVOAVSCAN_FILE_DELAY_MS");
        // The update checks new definitions with the package's scanner program.
        std::filesystem::create_directories(Real(TAVOAV_PKG_DIR "/bin"));
        std::filesystem::create_symlink(TAVOAVSCAN_BIN, Real(TAVOAV_SCANNER_PATH));
        Put(TAVOAV_MIRROR_DIR "/test.ndb", scantest::EicarNdb());
        ASSERT_EQ(AVUpdate_m(), 0);
        ASSERT_GE(AVSetAutoUpdate(FALSE), 0);
    }

    TAVOAV_STAT Stat() {
        TAVOAV_STAT stat;
        memset(&stat, 0, sizeof(stat));
        EXPECT_EQ(AVGetEngStat(&stat), 0);
        return stat;
    }

    std::vector<Event> Events() {
        std::vector<Event> events;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(Real(TAVOAV_REPORT_DB).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK) {
            sqlite3_close(db);
            return events;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT class, module, eventText FROM report ORDER BY id", -1,
                               &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                events.push_back({reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                                  reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                                  reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2))});
            }
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return events;
    }

    // Events of the scan (the update and the settings of SetUp left out).
    std::vector<Event> ScanEvents() {
        std::vector<Event> events;
        for (const Event& e : Events())
            if (e.module != "update" && e.module != "config") events.push_back(e);
        return events;
    }

    std::vector<std::string> Texts(const std::string& prefix) {
        std::vector<std::string> texts;
        for (const Event& e : Events())
            if (e.text.rfind(prefix, 0) == 0) texts.push_back(e.text);
        return texts;
    }

    // Every item of every volume's quarantine.
    std::set<QItem> Quarantine() {
        std::set<QItem> items;
        PQLIBSZLIST pList = QLIBCSzListAlloc(1024);
        EXPECT_EQ(AVQuarantineAllBaseEnum(&pList), 0);
        for (int i = 0; pList && i < pList->nItem; ++i) {
            QUARANTINE_PATH path;
            if (AVQuarantineGet(QLIBCSzListGet(pList, i), &path) != 0) continue;
            QUARANTINE_FILE* pFiles = nullptr;
            int count = 0;
            if (AVQuarantineDBReadFrom(&path, &pFiles, &count) == 0) {
                for (int j = 0; j < count; ++j)
                    items.insert({std::string(path.szVolumePath) + pFiles[j].szOriginalPath,
                                  pFiles[j].szThreat});
            }
            free(pFiles);
        }
        QLIBCSzListFree(pList);
        return items;
    }

    // The items the report names as quarantined.
    std::set<QItem> ReportedMoves() {
        std::set<QItem> items;
        const std::string prefix = "Moved to quarantine: ";
        for (const std::string& text : Texts(prefix)) {
            size_t open = text.rfind(" (");
            items.insert({text.substr(prefix.size(), open - prefix.size()),
                          text.substr(open + 2, text.size() - open - 3)});
        }
        return items;
    }

    bool Exists(const std::string& path) {
        struct stat st;
        return lstat(Real(path).c_str(), &st) == 0;
    }
};

TEST_F(ScannerRunTest, FullScanQuarantinesDetectionsAndLeavesCleanFilesAlone) {
    Put("/volume1/downloads/eicar.com", Eicar());
    Put("/volume1/docs/notes.txt", "meeting notes");
    Put("/volume1/docs/deep/mail.txt", "Subject: hi\n\n" + Eicar() + "\n");
    Put("/volume2/tools/setup.exe", "MZ" + Eicar());
    Put("/volume2/music/song.mp3", "ID3 not a virus");
    Put("/outside/outside.com", Eicar());
    ASSERT_EQ(symlink(Real("/outside").c_str(), Real("/volume1/link").c_str()), 0);
    ASSERT_EQ(symlink(Real("/outside/outside.com").c_str(), Real("/volume2/filelink.com").c_str()),
              0);

    EXPECT_EQ(RunScanner({"--all"}), 0);

    EXPECT_EQ(scantest::ReadFile(Real("/volume1/docs/notes.txt")), "meeting notes");
    EXPECT_EQ(scantest::ReadFile(Real("/volume2/music/song.mp3")), "ID3 not a virus");
    EXPECT_TRUE(Exists("/outside/outside.com"));
    EXPECT_FALSE(Exists("/volume1/downloads/eicar.com"));
    EXPECT_FALSE(Exists("/volume1/docs/deep/mail.txt"));
    EXPECT_FALSE(Exists("/volume2/tools/setup.exe"));

    std::set<QItem> expected = {{"/volume1/docs/deep/mail.txt", "Eicar-Test-Signature"},
                                {"/volume1/downloads/eicar.com", "Eicar-Test-Signature"},
                                {"/volume2/tools/setup.exe", "Eicar-Test-Signature"}};
    EXPECT_EQ(Quarantine(), expected);
    EXPECT_EQ(ReportedMoves(), expected);

    TAVOAV_STAT stat = Stat();
    EXPECT_FALSE(stat.isScanning);
    EXPECT_TRUE(stat.isStayInNotify);
    EXPECT_EQ(stat.scanFileCountTotal, 5);
    EXPECT_EQ(stat.scannedFileCnt, 5);
    EXPECT_EQ(stat.infectedFileCnt, 3);
    EXPECT_EQ(stat.processFailedCnt, 0);
    EXPECT_EQ(stat.errFileCnt, 0);
    EXPECT_EQ(stat.mvFailedCnt, 0);
    EXPECT_EQ(std::string(stat.szLastScannedFile), "/volume2/tools/setup.exe");

    std::vector<Event> events = ScanEvents();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events.front().text, "Scan started (full scan)");
    EXPECT_EQ(events[1].cls, "warning");
    EXPECT_EQ(events[1].text, "Virus found: /volume1/docs/deep/mail.txt (Eicar-Test-Signature)");
    EXPECT_EQ(events[2].module, "quarantine");
    EXPECT_EQ(events.back().cls, "info");
    EXPECT_EQ(events.back().text,
              "Scan finished (full scan): 5 files scanned, 3 infected, 3 moved to quarantine, "
              "0 failed to move, 0 errors");

    // The quarantined files are not scanned again.
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().scannedFileCnt, 2);
    EXPECT_EQ(Stat().infectedFileCnt, 0);
}

TEST_F(ScannerRunTest, ExtensionRuleAndWhiteListDecideWhatIsScanned) {
    ASSERT_EQ(AVSetScanFilterRule(TAVOAV_SCAN_EXTENSIONS), 0);
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    ASSERT_EQ(AVWhiteListAdd("/volume1/trusted"), 0);
    ASSERT_EQ(AVWhiteListAdd("/volume1/tools/known.exe"), 0);
    Put("/volume1/notes.txt", Eicar());              // extension not listed
    Put("/volume1/tools/bad.EXE", Eicar());          // listed, any case
    Put("/volume1/tools/known.exe", Eicar());        // white-listed file
    Put("/volume1/trusted/sub/tool.exe", Eicar());   // below a white-listed folder
    Put("/volume1/trustedness/other.exe", Eicar());  // a name that merely starts alike

    EXPECT_EQ(RunScanner({"--all"}), 0);

    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.scanFileCountTotal, 2);
    EXPECT_EQ(stat.scannedFileCnt, 2);
    EXPECT_EQ(stat.infectedFileCnt, 2);
    EXPECT_EQ(Texts("Virus found: "),
              (std::vector<std::string>{
                  "Virus found: /volume1/tools/bad.EXE (Eicar-Test-Signature)",
                  "Virus found: /volume1/trustedness/other.exe (Eicar-Test-Signature)"}));
    // "Leave infected files": nothing moved.
    for (const char* path :
         {"/volume1/notes.txt", "/volume1/tools/bad.EXE", "/volume1/tools/known.exe",
          "/volume1/trusted/sub/tool.exe", "/volume1/trustedness/other.exe"})
        EXPECT_TRUE(Exists(path)) << path;
    EXPECT_TRUE(Quarantine().empty());
    EXPECT_TRUE(Texts("Moved to quarantine").empty());
}

TEST_F(ScannerRunTest, FailedMoveJoinsTheFailedListAndRetryMovesItLater) {
    Put("/volume1/bad.exe", Eicar());
    Put("/volume1/" TAVOAV_QUARANTINE_DIR_NAME, "a file where the quarantine folder belongs");

    EXPECT_EQ(RunScanner({"--all"}), 0);

    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.infectedFileCnt, 1);
    EXPECT_EQ(stat.processFailedCnt, 1);
    EXPECT_EQ(stat.mvFailedCnt, 1);
    EXPECT_TRUE(Exists("/volume1/bad.exe"));
    EXPECT_TRUE(Quarantine().empty());
    EXPECT_TRUE(ReportedMoves().empty());
    std::vector<std::string> failed =
        Texts("Failed to move to quarantine: /volume1/bad.exe (Eicar-Test-Signature)");
    EXPECT_EQ(failed.size(), 1u);
    EXPECT_EQ(Texts("Scan finished").size(), 1u);
    EXPECT_NE(
        Texts("Scan finished").at(0).find("1 infected, 0 moved to quarantine, 1 failed to move"),
        std::string::npos);

    // Once the cause is gone the second attempt moves it.
    ASSERT_EQ(unlink(Real("/volume1/" TAVOAV_QUARANTINE_DIR_NAME).c_str()), 0);
    EXPECT_EQ(AVTryProcessAgain(), 1);
    EXPECT_FALSE(Exists("/volume1/bad.exe"));
    EXPECT_EQ(Quarantine(), (std::set<QItem>{{"/volume1/bad.exe", "Eicar-Test-Signature"}}));
    EXPECT_EQ(Stat().mvFailedCnt, 0);
}

TEST_F(ScannerRunTest, FilesTheEngineCannotJudgeAreErrorsNotClean) {
    Put("/volume1/locked.zip", scantest::EncryptedZip("inner.com", "hidden"));
    Put("/volume1/plain.txt", "plain");

    EXPECT_EQ(RunScanner({"--all"}), 0);

    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.scannedFileCnt, 2);
    EXPECT_EQ(stat.errFileCnt, 1);
    EXPECT_EQ(stat.infectedFileCnt, 0);
    EXPECT_TRUE(Exists("/volume1/locked.zip"));
    EXPECT_EQ(Texts("Cannot scan "),
              (std::vector<std::string>{
                  "Cannot scan /volume1/locked.zip: encrypted content cannot be scanned"}));
    EXPECT_NE(Texts("Scan finished").at(0).find("1 errors"), std::string::npos);
}

TEST_F(ScannerRunTest, CustomScanWalksTheListedPathsAndRemovesTheList) {
    Put("/volume1/picked/a.com", Eicar());
    Put("/volume1/picked/b.txt", "b");
    Put("/volume1/other/c.com", Eicar());
    Put("/volume2/one.exe", Eicar());
    PQLIBSZLIST pList = QLIBCSzListAlloc(8);
    for (const char* path : {"/volume1/picked", "/volume1/../volume2/one.exe", "/volume1/missing"})
        ASSERT_EQ(QLIBCSzListPush(&pList, path), 0);
    char szFileList[4096] = {0};
    ASSERT_GE(AVTransSZListToFileList(szFileList, sizeof(szFileList), pList), 0);
    QLIBCSzListFree(pList);
    ASSERT_TRUE(Exists(szFileList));

    EXPECT_EQ(RunScanner({"-f", szFileList}), 0);

    EXPECT_FALSE(Exists(szFileList));
    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.scannedFileCnt, 3);
    EXPECT_EQ(stat.infectedFileCnt, 2);
    EXPECT_EQ(stat.errFileCnt, 1);
    EXPECT_TRUE(Exists("/volume1/other/c.com"));
    EXPECT_EQ(Quarantine(), (std::set<QItem>{{"/volume1/picked/a.com", "Eicar-Test-Signature"},
                                             {"/volume2/one.exe", "Eicar-Test-Signature"}}));
    EXPECT_EQ(Texts("Scan started").at(0), "Scan started (custom scan)");
    EXPECT_EQ(Texts("Cannot scan ").size(), 1u);
}

TEST_F(ScannerRunTest, AFileListOfAScheduledScanStaysForItsNextRun) {
    Put("/volume1/a.com", Eicar());
    PQLIBSZLIST pList = QLIBCSzListAlloc(8);
    ASSERT_EQ(QLIBCSzListPush(&pList, "/volume1"), 0);
    char szFileList[4096] = {0};
    ASSERT_GE(AVTransSZListToFileList(szFileList, sizeof(szFileList), pList), 0);
    QLIBCSzListFree(pList);
    Put("/etc/crontab", std::string("SHELL=/bin/sh\n0 3 * * 1 root " TAVOAV_SCANNER_PATH " -f ") +
                            szFileList + "\n");

    EXPECT_EQ(RunScanner({"-f", szFileList}), 0);
    EXPECT_TRUE(Exists(szFileList));
    EXPECT_EQ(Stat().infectedFileCnt, 1);
}

TEST_F(ScannerRunTest, SystemScanCoversTheSystemFoldersOnly) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    Put("/etc/rc.local", Eicar());
    Put("/usr/bin/tool", "tool");
    Put("/volume1/v.com", Eicar());
    EXPECT_EQ(RunScanner({"--system"}), 0);
    EXPECT_EQ(Stat().scannedFileCnt, 2);
    EXPECT_EQ(Texts("Virus found: "),
              (std::vector<std::string>{"Virus found: /etc/rc.local (Eicar-Test-Signature)"}));
}

TEST_F(ScannerRunTest, StopEndsAPausedScanAndASecondScannerLeavesItAlone) {
    for (int i = 0; i < 60; ++i)
        Put("/volume1/f" + std::to_string(100 + i) + ".txt", "file " + std::to_string(i));
    setenv("TAVOAVSCAN_FILE_DELAY_MS", "40", 1);
    pid_t first = Spawn({"--all"});
    unsetenv("TAVOAVSCAN_FILE_DELAY_MS");
    ASSERT_GT(first, 0);
    // Wait (generously) until the first scanner has judged a file.
    for (int i = 0; i < 600 && Stat().scannedFileCnt == 0; ++i) usleep(50 * 1000);
    ASSERT_GT(Stat().scannedFileCnt, 0);
    ASSERT_EQ(AVScanPause(), 0);

    EXPECT_EQ(RunScanner({"--all"}), 1);  // refused at once
    TAVOAV_ENGINE_STATE state;
    ASSERT_EQ(AVEngStateRead(&state), 0);
    EXPECT_EQ(state.scannerPid, first);
    EXPECT_TRUE(state.stat.isScanning);
    EXPECT_TRUE(state.pauseRequested);
    EXPECT_EQ(state.stat.scanFileCountTotal, 60);

    ASSERT_EQ(AVStop(), 0);
    EXPECT_EQ(Wait(first), 0);
    ASSERT_EQ(AVEngStateRead(&state), 0);
    EXPECT_EQ(state.lastScanResult, AVENG_SCAN_STOPPED);
    EXPECT_FALSE(state.stat.isScanning);
    EXPECT_TRUE(state.stat.isStayInNotify);
    EXPECT_LT(state.stat.scannedFileCnt, 60);
    EXPECT_EQ(Texts("Scan started").size(), 1u);
    ASSERT_EQ(Texts("Scan stopped (full scan): ").size(), 1u);
    EXPECT_TRUE(Texts("Scan finished").empty());
}

TEST_F(ScannerRunTest, WithoutDefinitionsTheScanFailsAndSaysWhy) {
    std::filesystem::remove_all(Real(TAVOAV_DEFS_DIR));
    Put("/volume1/eicar.com", Eicar());

    EXPECT_EQ(RunScanner({"--all"}), 2);

    TAVOAV_STAT stat = Stat();
    EXPECT_FALSE(stat.isScanning);
    EXPECT_FALSE(stat.isStayInNotify);  // nothing to acknowledge
    TAVOAV_INFO info;
    EXPECT_EQ(AVGetEngInfo(&info), ERR_TAVOAV_DB_ACCESS_ERROR);
    std::vector<Event> events = ScanEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].cls, "error");
    EXPECT_EQ(
        events[1].text.rfind("Scan failed (full scan): no usable virus definitions installed", 0),
        0u)
        << events[1].text;
    EXPECT_TRUE(Exists("/volume1/eicar.com"));
}

TEST_F(ScannerRunTest, UpdateBeforeScanInstallsNewDefinitionsAndAFailureDoesNotStopTheScan) {
    ASSERT_GE(AVSetAutoUpdate(TRUE), 0);
    Put("/volume1/eicar.com", Eicar());
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Texts("Virus definitions updated").size(), 2u);  // SetUp's and the scan's

    // An empty mirror fails the update; the installed definitions still detect.
    std::filesystem::remove_all(Real(TAVOAV_MIRROR_DIR));
    Put("/volume1/again.com", Eicar());
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Texts("Virus definition update failed").size(), 1u);
    EXPECT_EQ(Texts("Update before scan failed").size(), 1u);
    EXPECT_EQ(Stat().infectedFileCnt, 1);
}

TEST(ScannerCommandLine, RefusesAnUnknownModeWithoutTouchingTheState) {
    EXPECT_EQ(RunScanner({}), 64);
    EXPECT_EQ(RunScanner({"--bogus"}), 64);
    EXPECT_EQ(RunScanner({"-f"}), 64);
}

// A share user swaps the folder of a detected file for a link to another
// user's folder between the scan and the move: the scanner moves the file it
// judged, from the folder it holds, and nothing of the other user's.
TEST_F(ScannerRunTest, AFolderSwappedForALinkBeforeTheMoveRedirectsNothing) {
    Put("/volume1/private/bad.exe", "the other user's own file");
    chmod(Real("/volume1/private/bad.exe").c_str(), 0600);
    Put("/volume1/share/dl/bad.exe", Eicar());
    const std::string hook = Real("/swap-folder.sh");
    Put("/swap-folder.sh",
        "#!/bin/sh\n"
        "mv \"$TAVO_ROOT/volume1/share/dl\" \"$TAVO_ROOT/volume1/share/old\" &&\n"
        "ln -s ../private \"$TAVO_ROOT/volume1/share/dl\"\n");
    ASSERT_EQ(chmod(hook.c_str(), 0755), 0);
    setenv("TAVOAVSCAN_TEST_QUARANTINE_HOOK", hook.c_str(), 1);
    int exitCode = RunScanner({"--all"});
    unsetenv("TAVOAVSCAN_TEST_QUARANTINE_HOOK");
    EXPECT_EQ(exitCode, 0);

    struct stat st;
    ASSERT_EQ(lstat(Real("/volume1/share/dl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the hook did not run";
    EXPECT_EQ(scantest::ReadFile(Real("/volume1/private/bad.exe")), "the other user's own file");
    EXPECT_FALSE(Exists("/volume1/share/old/bad.exe"));
    EXPECT_EQ(Quarantine(),
              (std::set<QItem>{{"/volume1/share/dl/bad.exe", "Eicar-Test-Signature"}}));
    EXPECT_EQ(Stat().mvFailedCnt, 0);
}

// Worker threads and the clean-file cache.
class ScannerWorkersTest : public ScannerRunTest {
protected:
    void SetUp() override {
        ScannerRunTest::SetUp();
        log_ = Real("/started.log");
        setenv("TAVOAVSCAN_TEST_STARTED_LOG", log_.c_str(), 1);
        // Files made by the test are cached at once (no settling time).
        setenv("TAVOAVSCAN_TEST_SETTLE_MS", "0", 1);
    }
    void TearDown() override {
        unsetenv("TAVOAVSCAN_TEST_STARTED_LOG");
        unsetenv("TAVOAVSCAN_TEST_SETTLE_MS");
        ScannerRunTest::TearDown();
    }
    void Setting(const char* szFile, const char* szKey, const std::string& value) {
        ASSERT_EQ(QLIBCFileSetKeyValue(szFile, szKey, value.c_str(), nullptr), 0);
    }
    void Workers(int n) {
        Setting(TAVOAV_PKG_DIR "/etc/scanner.conf", "scanThreads", std::to_string(n));
    }
    // The files the workers started to judge since the last call.
    std::vector<std::string> Started() {
        std::vector<std::string> lines;
        std::istringstream in(scantest::ReadFile(log_));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        unlink(log_.c_str());
        return lines;
    }
    size_t StartedCount() {
        std::istringstream in(scantest::ReadFile(log_));
        size_t n = 0;
        for (std::string line; std::getline(in, line);) ++n;
        return n;
    }
    std::string LastSummary() {
        std::vector<std::string> texts = Texts("Scan finished");
        return texts.empty() ? std::string() : texts.back();
    }
    std::string log_;
};

// A scan with many workers finds, counts and reports exactly what a scan
// with one finds, in the same order.
TEST_F(ScannerWorkersTest, ManyWorkersFindAndCountWhatOneWorkerFinds) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    Setting(TAVOAV_CONF_FILE, "maxFileSizeMB", "1");
    int planted = 0, broken = 0;
    for (int i = 0; i < 240; ++i) {
        std::string dir =
            "/volume" + std::to_string(1 + i % 2) + "/d" + std::to_string(i % 7) + "/";
        std::string name = dir + "f" + std::to_string(i);
        if (i % 9 == 0) {
            Put(name + ".com", "head " + Eicar() + " tail");
            ++planted;
        } else if (i % 23 == 0) {
            Put(name + ".zip", scantest::EncryptedZip("inner.txt", "secret"));
            ++broken;
        } else if (i % 31 == 0) {
            Put(name + ".bin", std::string(1024 * 1024 + 10, 'x'));  // over the size limit
            ++broken;
        } else {
            Put(name + ".txt", "clean file number " + std::to_string(i));
        }
    }
    struct Outcome {
        std::vector<std::string> found, errors;
        int64_t scanned, infected, errFiles, total;
    };
    auto run = [&](int workers) {
        Workers(workers);
        size_t before = Events().size();
        EXPECT_EQ(RunScanner({"--all", "--rescan-all"}), 0);
        Outcome o;
        std::vector<Event> events = Events();
        for (size_t i = before; i < events.size(); ++i) {
            if (events[i].text.rfind("Virus found: ", 0) == 0) o.found.push_back(events[i].text);
            if (events[i].text.rfind("Cannot scan ", 0) == 0) o.errors.push_back(events[i].text);
        }
        TAVOAV_STAT stat = Stat();
        o.scanned = stat.scannedFileCnt;
        o.infected = stat.infectedFileCnt;
        o.errFiles = stat.errFileCnt;
        o.total = stat.scanFileCountTotal;
        return o;
    };
    Outcome one = run(1);
    Outcome many = run(4);
    EXPECT_EQ(one.scanned, 240);
    EXPECT_EQ(one.total, 240);
    EXPECT_EQ(one.infected, planted);
    EXPECT_EQ(one.errFiles, broken);
    EXPECT_EQ(one.found.size(), static_cast<size_t>(planted));
    EXPECT_EQ(many.scanned, one.scanned);
    EXPECT_EQ(many.total, one.total);
    EXPECT_EQ(many.infected, one.infected);
    EXPECT_EQ(many.errFiles, one.errFiles);
    EXPECT_EQ(many.found, one.found);
    EXPECT_EQ(many.errors, one.errors);

    // With the quarantine as action, every detection is moved.
    ASSERT_EQ(AVSetDefaultOp(MV_INFECTED_FILES), 0);
    run(4);
    EXPECT_EQ(Quarantine().size(), static_cast<size_t>(planted));
    EXPECT_EQ(ReportedMoves().size(), static_cast<size_t>(planted));
    EXPECT_EQ(Stat().mvFailedCnt, 0);
}

// Pause holds every worker before its next file, resume goes on, and stop
// ends the scan with the files in flight judged and counted and nothing
// started after it.
TEST_F(ScannerWorkersTest, PauseResumeAndStopHoldEveryWorker) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    Workers(3);
    std::set<std::string> infected;
    for (int i = 0; i < 150; ++i) {
        std::string path = "/volume1/f" + std::to_string(1000 + i) + ".txt";
        if (i % 10 == 3) {
            Put(path, Eicar());
            infected.insert(path);
        } else {
            Put(path, "file " + std::to_string(i));
        }
    }
    setenv("TAVOAVSCAN_FILE_DELAY_MS", "30", 1);
    pid_t pid = Spawn({"--all"});
    unsetenv("TAVOAVSCAN_FILE_DELAY_MS");
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 600 && Stat().scannedFileCnt == 0; ++i) usleep(50 * 1000);
    ASSERT_GT(Stat().scannedFileCnt, 0);
    ASSERT_EQ(AVScanPause(), 0);
    // Wait (generously) until no worker starts anything; unpaused, three
    // workers start ~100 files a second.
    size_t held = StartedCount();
    for (int i = 0; i < 30; ++i) {
        usleep(500 * 1000);
        size_t now = StartedCount();
        if (now == held) break;
        held = now;
    }
    usleep(1500 * 1000);
    EXPECT_EQ(StartedCount(), held);
    EXPECT_LT(held, 150u);

    ASSERT_EQ(AVScanResume(), 0);
    for (int i = 0; i < 600 && StartedCount() == held; ++i) usleep(50 * 1000);
    EXPECT_GT(StartedCount(), held);
    ASSERT_EQ(AVStop(), 0);
    EXPECT_EQ(Wait(pid), 0);

    std::vector<std::string> started = Started();
    TAVOAV_ENGINE_STATE state;
    ASSERT_EQ(AVEngStateRead(&state), 0);
    EXPECT_EQ(state.lastScanResult, AVENG_SCAN_STOPPED);
    EXPECT_LT(state.stat.scannedFileCnt, 150);
    // Every file started was judged and counted; nothing else was.
    EXPECT_EQ(state.stat.scannedFileCnt, static_cast<int64_t>(started.size()));
    int64_t startedInfected = 0;
    for (const std::string& path : started) startedInfected += infected.count(path);
    EXPECT_EQ(state.stat.infectedFileCnt, startedInfected);
    EXPECT_EQ(state.stat.errFileCnt, 0);
    ASSERT_EQ(Texts("Scan stopped (full scan): ").size(), 1u);
    EXPECT_EQ(Texts("Scan stopped (full scan): ")[0].rfind(
                  "Scan stopped (full scan): " + std::to_string(started.size()) +
                      " files scanned, " + std::to_string(startedInfected) + " infected",
                  0),
              0u);
}

TEST_F(ScannerWorkersTest, UnchangedCleanFilesAreTakenFromTheCacheAndDetectionsNever) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    for (int i = 0; i < 5; ++i)
        Put("/volume1/clean" + std::to_string(i) + ".txt", "clean " + std::to_string(i));
    Put("/volume1/bad.com", Eicar());
    Put("/volume1/locked.zip", scantest::EncryptedZip("inner.txt", "secret"));

    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Started().size(), 7u);
    EXPECT_EQ(LastSummary(),
              "Scan finished (full scan): 7 files scanned, 1 infected, 0 moved to quarantine, "
              "0 failed to move, 1 errors");

    EXPECT_EQ(RunScanner({"--all"}), 0);
    // Only the detection and the file that could not be judged are judged again.
    std::vector<std::string> again = Started();
    std::sort(again.begin(), again.end());
    EXPECT_EQ(again, (std::vector<std::string>{"/volume1/bad.com", "/volume1/locked.zip"}));
    EXPECT_EQ(LastSummary(),
              "Scan finished (full scan): 7 files scanned, 1 infected, 0 moved to quarantine, "
              "0 failed to move, 1 errors, 5 known clean from the cache");
    TAVOAV_STAT stat = Stat();
    EXPECT_EQ(stat.scannedFileCnt, 7);
    EXPECT_EQ(stat.infectedFileCnt, 1);
    EXPECT_EQ(stat.errFileCnt, 1);

    // "Rescan everything" judges every file again.
    EXPECT_EQ(RunScanner({"--rescan-all", "--all"}), 0);
    EXPECT_EQ(Started().size(), 7u);
    EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos);
}

// A share user rewrites a file judged clean with a threat of the same size
// and puts its modification time back: the change time moved, so it is
// judged again and caught.
TEST_F(ScannerWorkersTest, ContentChangedWithSizeAndModificationTimePutBackIsJudgedAgain) {
    const std::string path = "/volume1/tool.exe";
    Put(path, std::string(Eicar().size(), 'a'));
    struct stat before;
    ASSERT_EQ(stat(Real(path).c_str(), &before), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().infectedFileCnt, 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("1 known clean from the cache"),
              std::string::npos);  // it is cached

    {
        std::fstream out(Real(path), std::ios::in | std::ios::out | std::ios::binary);
        out << Eicar();
    }
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, Real(path).c_str(), times, 0), 0);
    struct stat after;
    ASSERT_EQ(stat(Real(path).c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    ASSERT_EQ(after.st_ino, before.st_ino);

    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().infectedFileCnt, 1);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(Quarantine(), (std::set<QItem>{{path, "Eicar-Test-Signature"}}));
}

// A file judged clean, then deleted, and another one made that gets the same
// inode number (with the old size and times): judged as the new file it is.
TEST_F(ScannerWorkersTest, AFileReplacedByAnotherWithTheSameInodeNumberIsJudgedAgain) {
    const std::string path = "/volume1/doc.txt";
    Put(path, std::string(Eicar().size(), 'b'));
    struct stat old;
    ASSERT_EQ(stat(Real(path).c_str(), &old), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("1 known clean from the cache"), std::string::npos);

    // The filesystem hands a freed inode number out again, mostly at once.
    bool blSameInode = false;
    for (int i = 0; i < 50 && !blSameInode; ++i) {
        ASSERT_EQ(unlink(Real(path).c_str()), 0);
        Put(path, Eicar());
        struct stat st;
        ASSERT_EQ(stat(Real(path).c_str(), &st), 0);
        blSameInode = st.st_ino == old.st_ino;
        if (!blSameInode) Put("/volume1/spare" + std::to_string(i), "holds an inode");
    }
    if (!blSameInode) GTEST_SKIP() << "the filesystem did not reuse the inode number";
    struct timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, Real(path).c_str(), times, 0), 0);

    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().infectedFileCnt, 1);
    EXPECT_EQ(Quarantine(), (std::set<QItem>{{path, "Eicar-Test-Signature"}}));
}

TEST_F(ScannerWorkersTest, AFileThatTurnsInfectedAfterACleanVerdictIsCaught) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    Put("/volume1/report.doc", "quarterly report");
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("1 known clean from the cache"), std::string::npos);
    std::ofstream(Real("/volume1/report.doc"), std::ios::app) << Eicar();
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().infectedFileCnt, 1);
    EXPECT_EQ(Texts("Virus found: /volume1/report.doc").size(), 1u);
    // Still infected, and never cached as clean.
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().infectedFileCnt, 1);
}

// New definitions void every clean verdict: a file they detect is caught.
TEST_F(ScannerWorkersTest, NewDefinitionsVoidTheCache) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    const std::string content = "a macro that a newer signature knows";
    Put("/volume1/macro.doc", content);
    Put("/volume1/other.txt", "other");
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("2 known clean from the cache"), std::string::npos);

    Put(TAVOAV_MIRROR_DIR "/newer.ndb",
        "Newer-Test-Signature:0:*:" + scantest::Hex(content) + "\n");
    ASSERT_EQ(AVUpdate_m(), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Texts("Virus found: "),
              (std::vector<std::string>{"Virus found: /volume1/macro.doc (Newer-Test-Signature)"}));
    EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos);
    // An update that finds nothing new installs nothing, so the verdicts hold.
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("1 known clean from the cache"), std::string::npos);
    ASSERT_EQ(AVUpdate_m(), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_NE(LastSummary().find("1 known clean from the cache"), std::string::npos);
}

// Verdicts reached under other options are void: archives looked into, the
// size limit.
TEST_F(ScannerWorkersTest, ChangedScanOptionsVoidTheCache) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    Put("/volume1/big.bin", std::string(2 * 1024 * 1024, 'z'));
    Put("/volume1/small.txt", "small");
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    ASSERT_NE(LastSummary().find("2 known clean from the cache"), std::string::npos);

    Setting(TAVOAV_CONF_FILE, "maxFileSizeMB", "1");
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(Stat().errFileCnt, 1);  // now over the limit, not clean
    EXPECT_EQ(Texts("Cannot scan /volume1/big.bin: exceeds the scan limits").size(), 1u);
    EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos);

    Setting(TAVOAV_CONF_FILE, "scanArchives", "0");
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos);
}

// The cache file as a crash could leave it if it were written in place
// (cut anywhere) or damaged: the next scan judges every file and finds what
// is there, and writes a whole cache again.
TEST_F(ScannerWorkersTest, ADamagedCacheIsNeverTrusted) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    for (int i = 0; i < 20; ++i)
        Put("/volume1/c" + std::to_string(i) + ".txt", "clean " + std::to_string(i));
    EXPECT_EQ(RunScanner({"--all"}), 0);
    const std::string cachePath = Real(TAVOAV_PKG_DIR "/.scan_cache");
    const std::string whole = scantest::ReadFile(cachePath);
    ASSERT_GT(whole.size(), 20u * 40u);
    for (size_t cut : {size_t(0), size_t(5), size_t(13), whole.size() / 2, whole.size() - 41,
                       whole.size() - 1}) {
        std::string damaged = whole.substr(0, cut);
        scantest::WriteFile(cachePath, damaged);
        EXPECT_EQ(RunScanner({"--all"}), 0);
        EXPECT_EQ(Stat().scannedFileCnt, 20);
        EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos) << cut;
    }
    // A flipped bit in an entry.
    std::string flipped = whole;
    flipped[flipped.size() - 60] ^= 0x10;
    scantest::WriteFile(cachePath, flipped);
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_EQ(LastSummary().find("from the cache"), std::string::npos);
    // And the cache it wrote is whole again.
    EXPECT_EQ(RunScanner({"--all"}), 0);
    EXPECT_NE(LastSummary().find("20 known clean from the cache"), std::string::npos);
}

// Scanners killed at any moment (the cache write included) leave the old
// cache or a whole new one: the next scan finds every planted threat.
TEST_F(ScannerWorkersTest, AScanKilledAnywhereLeavesACacheTheNextScanCanTrust) {
    ASSERT_EQ(AVSetDefaultOp(DO_NOTHING_TO_INFECTED_FILES), 0);
    for (int i = 0; i < 300; ++i)
        Put("/volume1/d" + std::to_string(i % 10) + "/c" + std::to_string(i),
            "clean " + std::to_string(i));
    Put("/volume1/bad.com", Eicar());
    unsigned seed = 7;
    for (int round = 0; round < 12; ++round) {
        // Each round: a new clean file, and a killed scan part way.
        Put("/volume1/new" + std::to_string(round), "new " + std::to_string(round));
        if (round % 4 == 0) {
            ASSERT_EQ(RunScanner({"--all"}), 0);
        }
        pid_t pid = Spawn({"--all"});
        usleep(1000 * (rand_r(&seed) % 120));
        kill(pid, SIGKILL);
        Wait(pid);
        EXPECT_EQ(RunScanner({"--all"}), 0);
        EXPECT_EQ(Stat().infectedFileCnt, 1) << round;
        EXPECT_EQ(Stat().scannedFileCnt, 302 + round) << round;
    }
}
