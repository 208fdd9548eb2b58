// Writers killed at random moments: a child process rewrites one store in a
// loop, toggling between two known contents, and is killed with SIGKILL after
// a random delay. After every kill the store must hold the previous or the
// new content, never a mix, and the service must still read it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tavo/tavoav.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavocore.h"
#include "tavo/tavodb.h"
#include "temp_root.h"

namespace {

// Kills per store: enough to land in every part of a write many times, small
// enough to keep the test within seconds.
int Iterations() {
    const char* value = getenv("TAVO_CRASH_ITERATIONS");
    return value ? atoi(value) : 150;
}

std::vector<std::string> Entries(int (*get)(PQLIBSZLIST*)) {
    PQLIBSZLIST list = QLIBCSzListAlloc(64);
    std::vector<std::string> out;
    if (!list) return {"<no memory>"};
    if (get(&list) != 0) {
        QLIBCSzListFree(list);
        return {"<unreadable>"};
    }
    for (int i = 0; const char* entry = QLIBCSzListGet(list, i); ++i) out.push_back(entry);
    QLIBCSzListFree(list);
    return out;
}

class CrashSafety : public TempRootTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
        for (const char* dir : {"/var/packages/AntiVirus-Zentrel/target/etc",
                                "/var/packages/AntiVirus-Zentrel/target/tmp", "/etc", "/volume1"})
            std::filesystem::create_directories(root_ + dir);
        seed_ = static_cast<unsigned>(time(nullptr));
        RecordProperty("seed", static_cast<int>(seed_));
    }

    // Runs writer in a child until killed, a random 0..maxDelayUs later; then
    // check() must hold. The writer never returns.
    void KillLoop(const std::function<void()>& writer, const std::function<void(int)>& check,
                  int maxDelayUs = 4000) {
        std::mt19937 random(seed_);
        std::uniform_int_distribution<int> delay(0, maxDelayUs);
        for (int i = 0; i < Iterations(); ++i) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                for (;;) writer();
            }
            usleep(delay(random));
            kill(pid, SIGKILL);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself, status " << status;
            check(i);
            if (HasFatalFailure() || HasFailure()) {
                ADD_FAILURE() << "after kill " << i << " (seed " << seed_ << ")";
                return;
            }
        }
    }

    unsigned seed_ = 0;
};

TEST_F(CrashSafety, WhiteListAndExtensionListFiles) {
    const std::string whiteFile = Real(TAVOAV_WHITELIST_FILE);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(AVWhiteListAdd(("/volume1/share/kept-" + std::to_string(i)).c_str()), 0);
    const std::string before = ReadFile(whiteFile);
    const std::vector<std::string> beforeEntries = Entries(AVWhiteListGet);
    ASSERT_EQ(beforeEntries.size(), 40u);
    ASSERT_EQ(AVWhiteListAdd("/volume1/toggled"), 0);
    const std::string after = ReadFile(whiteFile);
    const std::vector<std::string> afterEntries = Entries(AVWhiteListGet);
    ASSERT_EQ(AVWhiteListRemove("/volume1/toggled"), 0);
    ASSERT_NE(before, after);

    KillLoop(
        [] {
            AVWhiteListAdd("/volume1/toggled");
            AVWhiteListRemove("/volume1/toggled");
        },
        [&](int) {
            const std::string now = ReadFile(whiteFile);
            ASSERT_TRUE(now == before || now == after) << "damaged white list:\n" << now;
            const auto entries = Entries(AVWhiteListGet);
            ASSERT_TRUE(entries == beforeEntries || entries == afterEntries);
        });

    const std::string extFile = Real(TAVOAV_EXTLIST_FILE);
    ASSERT_EQ(AVExtensionListAdd("kept"), 1);
    const std::string extBefore = ReadFile(extFile);
    ASSERT_EQ(AVExtensionListAdd("toggled"), 1);
    const std::string extAfter = ReadFile(extFile);
    ASSERT_EQ(AVExtensionListRemove("toggled"), 0);
    KillLoop(
        [] {
            AVExtensionListAdd("toggled");
            AVExtensionListRemove("toggled");
        },
        [&](int) {
            const std::string now = ReadFile(extFile);
            ASSERT_TRUE(now == extBefore || now == extAfter) << "damaged extension list:\n" << now;
            ASSERT_NE(Entries(AVExtensionListGet), std::vector<std::string>{"<unreadable>"});
        });
}

TEST_F(CrashSafety, Configuration) {
    const std::string confFile = Real(TAVOAV_CONF_FILE);
    ASSERT_EQ(AVSetAutoUpdate(TRUE), 0);
    ASSERT_EQ(AVSetDefaultOp(TAVOAV_DFOP(0)), 0);
    const std::string first = ReadFile(confFile);
    ASSERT_EQ(AVSetDefaultOp(TAVOAV_DFOP(1)), 0);
    const std::string second = ReadFile(confFile);
    ASSERT_NE(first, second);

    KillLoop(
        [] {
            AVSetDefaultOp(TAVOAV_DFOP(0));
            AVSetDefaultOp(TAVOAV_DFOP(1));
        },
        [&](int) {
            const std::string now = ReadFile(confFile);
            ASSERT_TRUE(now == first || now == second) << "damaged configuration:\n" << now;
            TAVOAV_CONF conf{};
            ASSERT_EQ(AVGetConfig(&conf), 0);
        });

    // The key-value file of the core library.
    const std::string kvFile = Real(TAVOAV_KV_FILE);
    ASSERT_EQ(QLIBCFileSetKeyValue(kvFile.c_str(), "kept", "value", nullptr), 0);
    ASSERT_EQ(QLIBCFileSetKeyValue(kvFile.c_str(), "browserLanguage", "en", nullptr), 0);
    const std::string kvFirst = ReadFile(kvFile);
    ASSERT_EQ(QLIBCFileSetKeyValue(kvFile.c_str(), "browserLanguage", "de-DE", nullptr), 0);
    const std::string kvSecond = ReadFile(kvFile);
    KillLoop(
        [&] {
            QLIBCFileSetKeyValue(kvFile.c_str(), "browserLanguage", "en", nullptr);
            QLIBCFileSetKeyValue(kvFile.c_str(), "browserLanguage", "de-DE", nullptr);
        },
        [&](int) {
            const std::string now = ReadFile(kvFile);
            ASSERT_TRUE(now == kvFirst || now == kvSecond) << "damaged key-value file:\n" << now;
            char szValue[64] = {0};
            ASSERT_EQ(QLIBCFileGetKeyValue(kvFile.c_str(), "kept", szValue, sizeof szValue), 0);
            ASSERT_STREQ(szValue, "value");
        });
}

// One schedule save as the Settings plug-in does it: clear, insert, dump.
void SaveSchedule(const char* szTriggerTime, const char* szScanType) {
    DBConnect* conn = nullptr;
    if (AVScheduleDBConnect(&conn) != 0) return;
    if (AVScheduleClear(conn) == 0 && AVScheduleInsert(conn, 1, szTriggerTime, szScanType, "") == 0)
        AVScheduleDump2Crontab(conn);
    AVScheduleDBClose(conn);
}

TEST_F(CrashSafety, ScheduleAndCrontab) {
    const std::string crontab = Real("/etc/crontab");
    { std::ofstream(crontab) << "SHELL=/bin/sh\n17 * * * * root run-parts /etc/cron.hourly\n"; }
    const std::string initial = ReadFile(crontab);
    SaveSchedule("0 3 * * 1", "full");
    const std::string first = ReadFile(crontab);
    SaveSchedule("30 4 * * *", "system");
    const std::string second = ReadFile(crontab);
    ASSERT_NE(first, second);
    ASSERT_NE(first, initial);

    KillLoop(
        [] {
            SaveSchedule("0 3 * * 1", "full");
            SaveSchedule("30 4 * * *", "system");
        },
        [&](int) {
            const std::string now = ReadFile(crontab);
            ASSERT_TRUE(now == first || now == second) << "damaged crontab:\n" << now;
            DBConnect* conn = nullptr;
            ASSERT_EQ(AVScheduleDBConnect(&conn), 0);
            DBResult* result = nullptr;
            ASSERT_EQ(TAVODBExecute(conn, "SELECT count(*) AS n FROM schedule", &result), 0)
                << "schedule unreadable";
            TAVODBFreeResult(result);
            AVScheduleDBClose(conn);
        });
}

int SetGadgetCount(TAVOAV_ENGINE_STATE* state, void* ctx) {
    state->gadgetQuarantineCount = *static_cast<int*>(ctx);
    return 0;
}

TEST_F(CrashSafety, EngineState) {
    const std::string stateFile = Real(TAVOAV_STATE_FILE);
    int one = 1, two = 2;
    ASSERT_EQ(AVEngStateModify(SetGadgetCount, &one), 0);
    const std::string first = ReadFile(stateFile);
    ASSERT_EQ(AVEngStateModify(SetGadgetCount, &two), 0);
    const std::string second = ReadFile(stateFile);
    ASSERT_NE(first, second);

    KillLoop(
        [] {
            int a = 1, b = 2;
            AVEngStateModify(SetGadgetCount, &a);
            AVEngStateModify(SetGadgetCount, &b);
        },
        [&](int) {
            const std::string now = ReadFile(stateFile);
            ASSERT_TRUE(now == first || now == second)
                << "damaged engine state (" << now.size() << " bytes)";
            TAVOAV_ENGINE_STATE state{};
            ASSERT_EQ(AVEngStateRead(&state), 0);
            ASSERT_TRUE(state.gadgetQuarantineCount == 1 || state.gadgetQuarantineCount == 2);
        });
}

// Every item a store lists: (renamed name, original path).
std::set<std::pair<std::string, std::string>> StoreItems(const QUARANTINE_PATH& qpath,
                                                         bool* pblOk) {
    QUARANTINE_FILE* files = nullptr;
    int count = 0;
    std::set<std::pair<std::string, std::string>> out;
    *pblOk = AVQuarantineDBReadFrom(&qpath, &files, &count) == 0;
    for (int i = 0; *pblOk && i < count; ++i)
        out.insert({files[i].szRenamedName, files[i].szOriginalPath});
    free(files);
    return out;
}

TEST_F(CrashSafety, QuarantineStore) {
    // A kept item, then a second one quarantined and deleted over and over.
    const std::string kept = "/volume1/kept.exe";
    std::ofstream(Real(kept)) << "kept content";
    ASSERT_EQ(AVQuarantinePutFile(kept.c_str(), "Eicar-Test"), AVQ_ERR_OK);
    QUARANTINE_PATH qpath{};
    ASSERT_EQ(AVQuarantineGet("/volume1", &qpath), 0);
    bool blOk = false;
    const auto keptItems = StoreItems(qpath, &blOk);
    ASSERT_TRUE(blOk);
    ASSERT_EQ(keptItems.size(), 1u);
    const std::string storeDir = Real(qpath.szDirPath);
    const std::string toggled = Real("/volume1/toggled.exe");

    KillLoop(
        [&] {
            // Deletes what an earlier writer left, then quarantines the file anew.
            QUARANTINE_PATH path{};
            QUARANTINE_CONN* conn = nullptr;
            if (AVQuarantineGet("/volume1", &path) != 0 || AVQuarantineConnect(&path, &conn) != 0)
                return;
            QUARANTINE_FILE* files = nullptr;
            int count = 0;
            if (AVQuarantineDBReadFrom(&path, &files, &count) == 0) {
                for (int i = 0; i < count; ++i)
                    if (std::string(files[i].szOriginalPath) == "/toggled.exe")
                        AVQuarantineDeleteFile(conn, files[i].szRenamedName,
                                               strlen(files[i].szRenamedName));
            }
            free(files);
            AVQuarantineClose(&conn);
            { std::ofstream(toggled) << "toggled content"; }
            AVQuarantinePutFile("/volume1/toggled.exe", "Eicar-Test");
        },
        [&](int) {
            bool blReadOk = false;
            const auto items = StoreItems(qpath, &blReadOk);
            ASSERT_TRUE(blReadOk) << "quarantine store unreadable";
            ASSERT_EQ(items.count(*keptItems.begin()), 1u) << "the kept item is gone";
            ASSERT_LE(items.size(), 2u) << [&] {
                std::string text;
                for (const auto& item : items) text += item.first + " " + item.second + "\n";
                return text;
            }();
            // Every listed item still has its stored file.
            for (const auto& item : items)
                ASSERT_TRUE(std::filesystem::exists(storeDir + "/" + item.first))
                    << "item without file: " << item.first;
        },
        20000);
}

}  // namespace

namespace {

// A file being quarantined is always somewhere: in place or listed.
TEST_F(CrashSafety, QuarantinePutNeverLosesAFile) {
    // The writer counts the files it creates in memory shared with the test.
    auto* pCreated = static_cast<int*>(
        mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pCreated, MAP_FAILED);
    *pCreated = 0;
    QUARANTINE_PATH qpath{};
    ASSERT_EQ(AVQuarantineGet("/volume1", &qpath), 0);
    const std::string volume = Real("/volume1");

    KillLoop(
        [&] {
            const int n = *pCreated;
            const std::string name = "/p-" + std::to_string(n) + ".exe";
            { std::ofstream(volume + name) << "content " << n; }
            *pCreated = n + 1;
            AVQuarantinePutFile(("/volume1" + name).c_str(), "Eicar-Test");
        },
        [&](int) {
            bool blReadOk = false;
            const auto items = StoreItems(qpath, &blReadOk);
            ASSERT_TRUE(blReadOk) << "quarantine store unreadable";
            std::set<std::string> listed;
            for (const auto& item : items) {
                listed.insert(item.second);
                ASSERT_TRUE(std::filesystem::exists(Real(qpath.szDirPath) + "/" + item.first))
                    << "item without file: " << item.first;
            }
            for (int n = 0; n < *pCreated; ++n) {
                const std::string name = "/p-" + std::to_string(n) + ".exe";
                ASSERT_TRUE(listed.count(name) || std::filesystem::exists(volume + name))
                    << name << " is neither in place nor quarantined";
            }
        },
        20000);
    munmap(pCreated, sizeof(int));
}

}  // namespace
