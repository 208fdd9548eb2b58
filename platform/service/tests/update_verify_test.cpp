// Definition updates with the real definitions check (the scanner program):
// a set the engine refuses never replaces the installed one, a set equal to
// it changes nothing, a killed update leaves one whole set, the scanner
// checks a set it has not seen, the HTTP fetcher loaded only for an update
// from HTTP URLs and only from beside the service library, and the automatic
// update's crontab line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"
#include "update_internal.h"

namespace {

const char* const SZ_UPDATE_LINE =
    "7 */6 * * * root /var/packages/AntiVirus-Zentrel/target/bin/tavoavscan --update";

std::string Eicar() {
    // Two halves, so that no file of the repository carries the whole string.
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
           "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string Hex(const std::string& data) {
    std::string hex;
    char sz[3];
    for (unsigned char ch : data) {
        snprintf(sz, sizeof sz, "%02x", ch);
        hex += sz;
    }
    return hex;
}

class UpdateVerifyTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        std::filesystem::create_directories(Real(TAVOAV_PKG_DIR "/bin"));
        std::filesystem::create_symlink(TAVOAVSCAN_BIN, Real(TAVOAV_SCANNER_PATH));
        ASSERT_GE(AVSetAutoUpdate(FALSE), 0);
        // The first set: one signature for the EICAR test file.
        WriteFile(Mirror("eicar.ndb"), "Eicar-Test-Signature:0:*:" + Hex(Eicar()) + "\n");
        ASSERT_EQ(AVUpdate_m(), 0);
        oldSet_ = ReadFile(Defs("eicar.ndb"));
        WriteFile(Real("/volume1/eicar.com"), Eicar());
    }
    std::string Mirror(const std::string& name) const { return Real(TAVOAV_MIRROR_DIR "/" + name); }
    std::string Defs(const std::string& name) const { return Real(TAVOAV_DEFS_DIR "/" + name); }
    static TAVOAV_STAT Stat() {
        TAVOAV_STAT stat;
        memset(&stat, 0, sizeof stat);
        EXPECT_EQ(AVGetEngStat(&stat), 0);
        return stat;
    }
    static TAVOAV_UPDATE_FACTS Facts() {
        TAVOAV_UPDATE_FACTS facts;
        EXPECT_EQ(AVUpdateFactsGet(&facts), 0);
        return facts;
    }
    std::vector<std::string> Events(const std::string& module) const {
        std::vector<std::string> texts;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(Real(TAVOAV_REPORT_DB).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(
                    db,
                    "SELECT class || ' ' || eventText FROM report WHERE module = ?1 ORDER BY id",
                    -1, &stmt, nullptr) == SQLITE_OK) {
                sqlite3_bind_text(stmt, 1, module.c_str(), -1, SQLITE_TRANSIENT);
                while (sqlite3_step(stmt) == SQLITE_ROW)
                    texts.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return texts;
    }
    // Runs the scanner on every volume: its exit status.
    int Scan() const {
        pid_t pid = fork();
        if (pid == 0) {
            execl(TAVOAVSCAN_BIN, TAVOAVSCAN_BIN, "--all", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The installed set still detects as before.
    void ExpectOldSetScans() {
        EXPECT_EQ(ListDir(Real(TAVOAV_DEFS_DIR)),
                  (std::vector<std::string>{".installed", "eicar.ndb"}));
        EXPECT_EQ(ReadFile(Defs("eicar.ndb")), oldSet_);
        EXPECT_EQ(Scan(), 0);
        EXPECT_EQ(Stat().infectedFileCnt, 1);
    }
    void ExpectFailedWith(const std::string& reason) {
        EXPECT_NE(AVUpdate_m(), 0);
        ExpectMarkedFailedWith(reason);
    }
    // The last update is recorded as failed with the reason, and left nothing staged.
    void ExpectMarkedFailedWith(const std::string& reason) {
        EXPECT_TRUE(Stat().isUpdFailed);
        TAVOAV_UPDATE_FACTS facts = Facts();
        EXPECT_STREQ(facts.szLastResult, "failed");
        EXPECT_EQ(facts.szLastFailureReason, reason);
        EXPECT_GT(facts.lastFailureTime, 0);
        ASSERT_FALSE(Events("update").empty());
        EXPECT_EQ(Events("update").back(), "error Virus definition update failed: " + reason);
        for (const std::string& name : ListDir(Real(TAVOAV_PKG_DIR)))
            EXPECT_EQ(name.find("defs.new"), std::string::npos);
    }

    std::string oldSet_;
};

TEST_F(UpdateVerifyTest, AMalformedFileLeavesTheOldSetScanning) {
    WriteFile(Mirror("broken.ndb"), "NoFieldsHere\n");
    ExpectFailedWith("broken.ndb: Malformed database (Problem parsing database at line 1)");
    ExpectOldSetScans();
}

TEST_F(UpdateVerifyTest, AnEmptyFileLeavesTheOldSetScanning) {
    WriteFile(Mirror("empty.hdb"), "");
    ExpectFailedWith("empty.hdb: empty file");
    ExpectOldSetScans();
}

TEST_F(UpdateVerifyTest, AGoodSetIsInstalledWithTheSignaturesItLoaded) {
    WriteFile(Mirror("more.hdb"), "44d88612fea8a8f36de82e1278abb02f:68:Hash-Signature\n");
    ASSERT_EQ(AVUpdate_m(), 0);
    EXPECT_TRUE(std::filesystem::exists(Defs("more.hdb")));
    TAVOAV_INFO info;
    ASSERT_EQ(AVGetEngInfo(&info), OKAY);
    EXPECT_EQ(info.defSignatureCount, 2);
    TAVOAV_UPDATE_FACTS facts = Facts();
    EXPECT_STREQ(facts.szLastResult, "updated");
    EXPECT_GE(facts.lastSuccessTime, info.lastUpdateDate);
    EXPECT_EQ(Events("update").back(), "info Virus definitions updated");
}

TEST_F(UpdateVerifyTest, NothingNewChangesNothing) {
    struct stat before, after;
    ASSERT_EQ(stat(Defs(".installed").c_str(), &before), 0);
    ASSERT_EQ(AVUpdate_m(), 0);
    ASSERT_EQ(stat(Defs(".installed").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_STREQ(Facts().szLastResult, "current");
    EXPECT_FALSE(Stat().isUpdFailed);
    EXPECT_EQ(Events("update").back(),
              "info Virus definitions updated: nothing new, the installed set is current");
}

TEST_F(UpdateVerifyTest, AnUpdateKilledBeforeTheSwapLeavesTheOldSet) {
    WriteFile(Mirror("more.hdb"), "44d88612fea8a8f36de82e1278abb02f:68:Hash-Signature\n");
    // The check kills the update once everything is staged.
    std::filesystem::remove(Real(TAVOAV_SCANNER_PATH));
    WriteFile(Real(TAVOAV_SCANNER_PATH), "#!/bin/sh\nkill -9 $PPID\nsleep 1\n");
    std::filesystem::permissions(Real(TAVOAV_SCANNER_PATH), std::filesystem::perms::owner_all);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(AVUpdate_m() == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(ListDir(Real(TAVOAV_DEFS_DIR)),
              (std::vector<std::string>{".installed", "eicar.ndb"}));

    // The next update cleans up and installs the whole new set.
    std::filesystem::remove(Real(TAVOAV_SCANNER_PATH));
    std::filesystem::create_symlink(TAVOAVSCAN_BIN, Real(TAVOAV_SCANNER_PATH));
    ASSERT_EQ(AVUpdate_m(), 0);
    EXPECT_EQ(ListDir(Real(TAVOAV_DEFS_DIR)),
              (std::vector<std::string>{".installed", "eicar.ndb", "more.hdb"}));
    for (const std::string& name : ListDir(Real(TAVOAV_PKG_DIR)))
        EXPECT_EQ(name.find("defs.new"), std::string::npos);
}

TEST_F(UpdateVerifyTest, AnUpdateKilledWhileCopyingLeavesTheOldSet) {
    WriteFile(Real(TAVOAV_CONF_FILE), "updateRateKBps=64\n");
    WriteFile(Mirror("big.hdb"), std::string(256 * 1024, '#'));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(AVUpdate_m() == 0 ? 0 : 1);
    // Killed once some bytes are staged.
    while (Stat().downloadSizeNow == 0) usleep(20 * 1000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(ListDir(Real(TAVOAV_DEFS_DIR)),
              (std::vector<std::string>{".installed", "eicar.ndb"}));
    EXPECT_EQ(ReadFile(Defs("eicar.ndb")), oldSet_);
}

TEST_F(UpdateVerifyTest, TheScannerChecksASetItHasNotSeenAndNamesTheDamagedFile) {
    char szReason[512];
    EXPECT_EQ(AVDefsCheckInstalled(szReason, sizeof szReason), 0);
    char szBefore[64], szAfter[64];
    ASSERT_EQ(AVDefsStamp(szBefore, sizeof szBefore), 0);
    // Damaged on disk after the update had checked it.
    WriteFile(Defs("zz.ndb"), "Broken:0\n");
    ASSERT_EQ(AVDefsStamp(szAfter, sizeof szAfter), 0);
    EXPECT_STRNE(szBefore, szAfter);
    EXPECT_EQ(AVDefsCheckInstalled(szReason, sizeof szReason), -1);
    EXPECT_STREQ(szReason, "zz.ndb: Malformed database (Problem parsing database at line 1)");
    EXPECT_EQ(Scan(), 2);
    ASSERT_FALSE(Events("scan").empty());
    EXPECT_EQ(Events("scan").back(),
              "error Scan failed (full scan): no usable virus definitions installed "
              "(zz.ndb: Malformed database (Problem parsing database at line 1))");
    std::filesystem::remove(Defs("zz.ndb"));
    EXPECT_EQ(AVDefsCheckInstalled(szReason, sizeof szReason), 0);
}

// --- the HTTP fetcher --------------------------------------------------------

// libcurl is linked only into libtavoav_http.so, which the service loads from
// its own folder for an update from HTTP URLs. Each update here runs in a
// process of its own (update_process), which opens the service library by
// path and lists what it mapped.
class UpdateHttpFetcherTest : public UpdateVerifyTest {
protected:
    void TearDown() override {
        if (refusing_ >= 0) close(refusing_);
        UpdateVerifyTest::TearDown();
    }
    // The source becomes one URL on a loopback port that refuses connections
    // (bound, never listening): the fetcher's reason shows it ran.
    void UseHttp() {
        refusing_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(refusing_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t cbAddress = sizeof address;
        ASSERT_EQ(bind(refusing_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(getsockname(refusing_, reinterpret_cast<sockaddr*>(&address), &cbAddress), 0);
        TAVOAV_UPDATE_SOURCE source;
        ASSERT_EQ(AVUpdateSourceGet(&source), 0);
        snprintf(source.szSource, sizeof source.szSource, "http");
        snprintf(source.szUrls, sizeof source.szUrls, "http://127.0.0.1:%d/fresh.ndb",
                 ntohs(address.sin_port));
        ASSERT_EQ(AVUpdateSourceSet(&source), 0);
    }
    struct Run {
        int status;
        std::vector<std::string> mapped;  // the files the process mapped
        bool Maps(const std::string& part) const {
            return std::any_of(mapped.begin(), mapped.end(), [&](const std::string& file) {
                return file.find(part) != std::string::npos;
            });
        }
    };
    // One update with the service library at this path, started in one
    // folder and run in another (update_process LIBRARY FOLDER).
    static Run RunUpdate(const std::string& library, const std::string& startFolder = "/",
                         const std::string& updateFolder = "/") {
        const std::string command = "cd '" + startFolder + "' && '" UPDATE_PROCESS_BIN "' '" +
                                    library + "' '" + updateFolder + "'";
        Run run{-1, {}};
        FILE* pOutput = popen(command.c_str(), "r");
        if (!pOutput) return run;
        char szLine[4096];
        while (fgets(szLine, sizeof szLine, pOutput)) {
            std::string line(szLine);
            if (!line.empty() && line.back() == '\n') line.pop_back();
            run.mapped.push_back(line);
        }
        const int status = pclose(pOutput);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
    // The reason an update ends with when the fetcher ran against the refusing port.
    void ExpectRefusedByTheMirror() {
        const std::string reason = Facts().szLastFailureReason;
        EXPECT_EQ(reason.rfind("fresh.ndb: Couldn't connect to server", 0), 0u) << reason;
        ExpectMarkedFailedWith(reason);
    }
    // A folder of its own for a copy of the service library.
    std::string CopyFolder() const { return Real("/opt/lib"); }
    void CopyLibrary(const std::string& from) const {
        std::filesystem::create_directories(CopyFolder());
        std::filesystem::copy_file(
            from, CopyFolder() + "/" + std::filesystem::path(from).filename().string());
    }

    int refusing_ = -1;
};

TEST_F(UpdateHttpFetcherTest, AProcessThatFetchesNothingMapsNoLibcurl) {
    Run run = RunUpdate(TAVOAV_LIB);
    EXPECT_EQ(run.status, 0);
    EXPECT_STREQ(Facts().szLastResult, "current");
    EXPECT_TRUE(run.Maps("/libtavoav.so"));
    EXPECT_FALSE(run.Maps("libcurl"));
    EXPECT_FALSE(run.Maps("libtavoav_http"));
}

TEST_F(UpdateHttpFetcherTest, AnHttpUpdateLoadsTheFetcherBesideTheLibrary) {
    UseHttp();
    Run run = RunUpdate(TAVOAV_LIB);
    EXPECT_EQ(run.status, 1);
    ExpectRefusedByTheMirror();
    EXPECT_TRUE(run.Maps(std::filesystem::canonical(TAVOAV_HTTP_MODULE_FILE).string()));
    EXPECT_TRUE(run.Maps("libcurl"));
    ExpectOldSetScans();
}

TEST_F(UpdateHttpFetcherTest, AMissingFetcherFailsTheUpdateAndKeepsTheInstalledSet) {
    UseHttp();
    CopyLibrary(TAVOAV_LIB);  // without the fetcher
    Run run = RunUpdate(CopyFolder() + "/libtavoav.so");
    EXPECT_EQ(run.status, 1);
    ExpectMarkedFailedWith("cannot load the HTTP fetcher: " + CopyFolder() +
                           "/libtavoav_http.so: cannot open shared object file: No such file or "
                           "directory");
    EXPECT_FALSE(run.Maps("libcurl"));
    ExpectOldSetScans();
}

TEST_F(UpdateHttpFetcherTest, AFetcherInTheWorkingFolderIsNeverLoaded) {
    UseHttp();
    CopyLibrary(TAVOAV_LIB);
    CopyLibrary(TAVOAV_HTTP_MODULE_FILE);
    // A share user's file where the update runs, under the fetcher's name.
    const std::string share = Real("/volume1/share");
    WriteFile(share + "/libtavoav_http.so", "not a library");
    // Opened by a relative path, then run in the share.
    Run run = RunUpdate("./libtavoav.so", CopyFolder(), share);
    EXPECT_EQ(run.status, 1);
    ExpectRefusedByTheMirror();
    EXPECT_TRUE(run.Maps(CopyFolder() + "/libtavoav_http.so"));
    EXPECT_FALSE(run.Maps(share));
}

// --- configuration and the crontab line ------------------------------------

class UpdateSourceTest : public TempRootTest {
protected:
    static TAVOAV_UPDATE_SOURCE Source() {
        TAVOAV_UPDATE_SOURCE source;
        EXPECT_EQ(AVUpdateSourceGet(&source), 0);
        return source;
    }
    std::string Crontab() const { return ReadFile(Real("/etc/crontab")); }
};

TEST_F(UpdateSourceTest, FactoryValuesUseTheMirrorFolderWithoutAutomaticUpdates) {
    TAVOAV_UPDATE_SOURCE source = Source();
    EXPECT_STREQ(source.szSource, "folder");
    EXPECT_STREQ(source.szMirrorDir, TAVOAV_MIRROR_DIR);
    EXPECT_EQ(source.intervalHours, 0);
    EXPECT_EQ(source.timeoutSeconds, 120);
    EXPECT_EQ(source.blOfficialDatabases, 1);
}

TEST_F(UpdateSourceTest, TheIntervalLineIsExactAndSurvivesAScheduleSave) {
    WriteFile(Real("/etc/crontab"), "SHELL=/bin/sh\n");
    TAVOAV_UPDATE_SOURCE source = Source();
    source.intervalHours = 6;
    ASSERT_EQ(AVUpdateSourceSet(&source), 0);
    const std::string begin =
        "# BEGIN AntiVirus-Zentrel scheduled scans (written by the package, do not edit)\n";
    const std::string end = "# END AntiVirus-Zentrel scheduled scans\n";
    EXPECT_EQ(Crontab(), "SHELL=/bin/sh\n" + begin + SZ_UPDATE_LINE + "\n" + end);

    // A schedule save keeps the update line, after the scans.
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVScheduleDBConnect(&pConn), 0);
    ASSERT_EQ(AVScheduleClear(pConn), 0);
    ASSERT_EQ(AVScheduleInsert(pConn, 1, "0 3 * * 1", "full", ""), 0);
    ASSERT_EQ(AVScheduleDump2Crontab(pConn), 0);
    const std::string scanLine =
        "0 3 * * 1 root /var/packages/AntiVirus-Zentrel/target/bin/tavoavscan --all\n";
    EXPECT_EQ(Crontab(), "SHELL=/bin/sh\n" + begin + scanLine + SZ_UPDATE_LINE + "\n" + end);

    // And the update setting keeps the scans.
    source.intervalHours = 24;
    ASSERT_EQ(AVUpdateSourceSet(&source), 0);
    EXPECT_EQ(
        Crontab(),
        "SHELL=/bin/sh\n" + begin + scanLine +
            "7 0 * * * root /var/packages/AntiVirus-Zentrel/target/bin/tavoavscan --update\n" +
            end);
    source.intervalHours = 0;
    ASSERT_EQ(AVUpdateSourceSet(&source), 0);
    EXPECT_EQ(Crontab(), "SHELL=/bin/sh\n" + begin + scanLine + end);
    AVScheduleDBClose(pConn);
}

TEST_F(UpdateSourceTest, HostileValuesAreRefusedAndChangeNothing) {
    WriteFile(Real("/etc/crontab"), "SHELL=/bin/sh\n");
    TAVOAV_UPDATE_SOURCE good = Source();
    snprintf(good.szSource, sizeof good.szSource, "http");
    snprintf(good.szUrls, sizeof good.szUrls,
             "http://127.0.0.1:8081/defs/a.ndb https://mirror.example/b.hdb?x=1");
    good.intervalHours = 4;
    ASSERT_EQ(AVUpdateSourceSet(&good), 0);
    const std::string conf = ReadFile(Real(TAVOAV_UPDATE_CONF_FILE));
    const std::string crontab = Crontab();

    auto refused = [&](void (*change)(TAVOAV_UPDATE_SOURCE*), const char* szWhat) {
        TAVOAV_UPDATE_SOURCE source = good;
        change(&source);
        EXPECT_EQ(AVUpdateSourceSet(&source), ERR_TAVOAV_PARAMETER_ERROR) << szWhat;
        EXPECT_EQ(ReadFile(Real(TAVOAV_UPDATE_CONF_FILE)), conf) << szWhat;
        EXPECT_EQ(Crontab(), crontab) << szWhat;
    };
    refused([](TAVOAV_UPDATE_SOURCE* s) { s->intervalHours = 5; }, "interval not dividing a day");
    refused([](TAVOAV_UPDATE_SOURCE* s) { s->intervalHours = -6; }, "negative interval");
    refused([](TAVOAV_UPDATE_SOURCE* s) { snprintf(s->szSource, sizeof s->szSource, "ftp"); },
            "source");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szUrls, sizeof s->szUrls, "http://h/a.ndb\n* * * * * root sh");
        },
        "line break in an URL");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szUrls, sizeof s->szUrls, "file:///etc/shadow.ndb");
        },
        "file URL");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) { snprintf(s->szUrls, sizeof s->szUrls, "http://h/../x.sh"); },
        "not a database");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szUrls, sizeof s->szUrls, "http://u:p@h/a.ndb");
        },
        "user part");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) { snprintf(s->szUrls, sizeof s->szUrls, "http://h/a\".ndb"); },
        "quote");
    refused([](TAVOAV_UPDATE_SOURCE* s) { snprintf(s->szUrls, sizeof s->szUrls, " "); },
            "http without URLs");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szProxy, sizeof s->szProxy, "http://p:3128\nDatabaseOwner x");
        },
        "line break in the proxy");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szDatabaseMirror, sizeof s->szDatabaseMirror, "a b");
        },
        "blank in the mirror");
    refused(
        [](TAVOAV_UPDATE_SOURCE* s) {
            snprintf(s->szMirrorDir, sizeof s->szMirrorDir, "relative/dir");
        },
        "relative folder");
    refused([](TAVOAV_UPDATE_SOURCE* s) { memset(s->szProxy, 'a', sizeof s->szProxy); },
            "unterminated text");
}

TEST_F(UpdateSourceTest, TheFreshclamConfigurationUsesOurFolderAndOnlyCheckedValues) {
    TAVOAV_UPDATE_SOURCE source = Source();
    snprintf(source.szSource, sizeof source.szSource, "freshclam");
    snprintf(source.szPrivateMirror, sizeof source.szPrivateMirror, "127.0.0.1:8099");
    snprintf(source.szUrls, sizeof source.szUrls, "http://127.0.0.1:8099/x.ndb");
    snprintf(source.szProxy, sizeof source.szProxy, "http://proxy.lan:3128");
    source.blOfficialDatabases = 0;
    EXPECT_EQ(
        tavo::service::FreshclamConfig(source, "/stage"),
        "# Written by the AntiVirus-Zentrel update for one run; not the system's freshclam.\n"
        "DatabaseDirectory /stage\nDatabaseOwner root\nForeground yes\nLogTime no\nLogSyslog no\n"
        "NotifyClamd no\nChecks 0\nTestDatabases yes\nConnectTimeout 30\nReceiveTimeout "
        "120\nMaxAttempts 2\n"
        "PrivateMirror 127.0.0.1:8099\nDNSDatabaseInfo no\nScriptedUpdates no\n"
        "ExcludeDatabase main\nExcludeDatabase daily\nExcludeDatabase bytecode\n"
        "DatabaseCustomURL http://127.0.0.1:8099/x.ndb\n"
        "HTTPProxyServer proxy.lan\nHTTPProxyPort 3128\n");
    EXPECT_EQ(tavo::service::UrlFileName("https://h:443/path/main.cvd?token=1"), "main.cvd");
    EXPECT_EQ(tavo::service::UrlFileName("https://h/path/"), "");
    EXPECT_EQ(tavo::service::UrlFileName("https://h/.hidden.ndb"), "");
}

}  // namespace
