// The shared engine state: defaults, buttons, scan control, dead processes,
// concurrent changes and damaged files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

class EngineTest : public TempRootTest {
protected:
    std::string StateFile() const { return Real(TAVOAV_STATE_FILE); }
    std::string StateDir() const { return Real(TAVOAV_PKG_DIR); }

    static TAVOAV_ENGINE_STATE Read() {
        TAVOAV_ENGINE_STATE state;
        memset(&state, 0x5a, sizeof(state));
        EXPECT_EQ(AVEngStateRead(&state), 0);
        return state;
    }
    // Stores the state changed by f.
    template <typename F>
    static void Change(F f) {
        ASSERT_EQ(AVEngStateModify(
                      [](TAVOAV_ENGINE_STATE* pState, void* ctx) {
                          (*static_cast<F*>(ctx))(pState);
                          return 0;
                      },
                      &f),
                  0);
    }
    // A child that waits to be killed; reaped by Reap.
    static pid_t SpawnSleeper() {
        pid_t pid = fork();
        if (pid == 0) {
            for (;;) pause();
        }
        return pid;
    }
    static void Reap(pid_t pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // The id of a process that has ended and been reaped.
    static pid_t DeadPid() {
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        waitpid(pid, nullptr, 0);
        return pid;
    }
};

TEST_F(EngineTest, FreshStateIsIdleAndSecure) {
    TAVOAV_STAT stat;
    memset(&stat, 0x5a, sizeof(stat));
    ASSERT_EQ(AVGetEngStat(&stat), 0);
    TAVOAV_STAT zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(memcmp(&stat, &zero, sizeof(stat)), 0);

    BUTTON_STATUS buttons;
    memset(&buttons, 0x5a, sizeof(buttons));
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isStopDisabled, TRUE);
    EXPECT_EQ(buttons.isPaused, FALSE);
    EXPECT_EQ(buttons.isPauseDisabled, TRUE);
    EXPECT_EQ(buttons.isClearDisabled, TRUE);
    EXPECT_EQ(buttons.isReProcessDisabled, TRUE);
    EXPECT_EQ(buttons.isAcknowledgeDisabled, TRUE);

    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.uiState, UI_STATE_SECURE);
    EXPECT_EQ(state.scannerPid, 0);
    EXPECT_EQ(state.updaterPid, 0);
    EXPECT_EQ(state.pauseRequested, FALSE);
    EXPECT_EQ(state.stopRequested, FALSE);
    // Reading creates nothing.
    EXPECT_FALSE(std::filesystem::exists(StateDir()));
    EXPECT_NE(AVGetEngStat(nullptr), 0);
    EXPECT_NE(AVButtonStatusGet(nullptr), 0);
}

TEST_F(EngineTest, EachButtonCallChangesOnlyItsFlag) {
    struct Case {
        const char* name;
        int (*call)(void);
        BOOL BUTTON_STATUS::*field;
        BOOL expected;
    };
    const Case cases[] = {
        {"SetPausePressed", AVButtonSetPausePressed, &BUTTON_STATUS::isPaused, TRUE},
        {"ResetPausePressed", AVButtonResetPausePressed, &BUTTON_STATUS::isPaused, FALSE},
        {"SetPauseDisable", AVButtonSetPauseDisable, &BUTTON_STATUS::isPauseDisabled, TRUE},
        {"SetStopEnable", AVButtonSetStopEnable, &BUTTON_STATUS::isStopDisabled, FALSE},
        {"SetStopDisable", AVButtonSetStopDisable, &BUTTON_STATUS::isStopDisabled, TRUE},
        {"SetAckDisable", AVButtonSetAckDisable, &BUTTON_STATUS::isAcknowledgeDisabled, TRUE},
        {"SetClearDisable", AVButtonSetClearDisable, &BUTTON_STATUS::isClearDisabled, TRUE},
        {"SetReProcDisable", AVButtonSetReProcDisable, &BUTTON_STATUS::isReProcessDisabled, TRUE},
    };
    BOOL BUTTON_STATUS::*const all[] = {
        &BUTTON_STATUS::isStopDisabled,      &BUTTON_STATUS::isPaused,
        &BUTTON_STATUS::isPauseDisabled,     &BUTTON_STATUS::isClearDisabled,
        &BUTTON_STATUS::isReProcessDisabled, &BUTTON_STATUS::isAcknowledgeDisabled};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every flag opposite to what the call sets.
        BOOL opposite = c.expected ? FALSE : TRUE;
        Change([&](TAVOAV_ENGINE_STATE* pState) {
            for (auto field : all) pState->buttons.*field = opposite;
        });
        ASSERT_EQ(c.call(), 0);
        BUTTON_STATUS buttons;
        ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
        for (auto field : all) EXPECT_EQ(buttons.*field, field == c.field ? c.expected : opposite);
    }
}

TEST_F(EngineTest, UIStateCalls) {
    Change([](TAVOAV_ENGINE_STATE* pState) {
        pState->buttons.isClearDisabled = FALSE;
        pState->buttons.isPaused = TRUE;
        pState->buttons.isAcknowledgeDisabled = FALSE;
    });
    EXPECT_EQ(AVButtonUIStatusEnterIntoScanning(4), 0);
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.uiState, UI_STATE_SCANNING);
    EXPECT_EQ(state.buttons.isPauseDisabled, FALSE);
    EXPECT_EQ(state.buttons.isPaused, FALSE);
    EXPECT_EQ(state.buttons.isStopDisabled, FALSE);
    EXPECT_EQ(state.buttons.isAcknowledgeDisabled, TRUE);
    EXPECT_EQ(state.buttons.isClearDisabled, FALSE);  // not its business
    EXPECT_EQ(state.buttons.isReProcessDisabled, TRUE);

    EXPECT_EQ(AVButtonSetStatus(UI_STATE_DANGER), 0);
    EXPECT_EQ(Read().uiState, UI_STATE_DANGER);
    EXPECT_EQ(AVButtonSetStatus(UI_STATE_REPROCESSING), 0);
    EXPECT_EQ(Read().uiState, UI_STATE_REPROCESSING);
    EXPECT_NE(AVButtonSetStatus(static_cast<UI_BUTTON_STATE>(7)), 0);
    EXPECT_NE(AVButtonSetStatus(static_cast<UI_BUTTON_STATE>(-1)), 0);
    EXPECT_EQ(Read().uiState, UI_STATE_REPROCESSING);

    EXPECT_EQ(AVClearStayInNotify(), 0);
    EXPECT_EQ(Read().stat.isStayInNotify, FALSE);
    EXPECT_EQ(executeGadgeUpdate(17), 0);
    EXPECT_EQ(Read().gadgetQuarantineCount, 17);
    // Repeating a change does not replace the file.
    struct stat before, after;
    ASSERT_EQ(stat(StateFile().c_str(), &before), 0);
    EXPECT_EQ(executeGadgeUpdate(17), 0);
    ASSERT_EQ(stat(StateFile().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(EngineTest, ScanControlRefusedWhenNothingRuns) {
    EXPECT_NE(AVScanPause(), 0);
    EXPECT_NE(AVScanResume(), 0);
    EXPECT_NE(AVStop(), 0);
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.pauseRequested, FALSE);
    EXPECT_EQ(state.stopRequested, FALSE);

    // An update alone can be stopped but not paused.
    pid_t updater = SpawnSleeper();
    ASSERT_EQ(AVEngUpdateBegin(updater), 0);
    EXPECT_NE(AVScanPause(), 0);
    EXPECT_NE(AVScanResume(), 0);
    EXPECT_EQ(Read().pauseRequested, FALSE);
    EXPECT_EQ(AVStop(), 0);
    EXPECT_EQ(Read().stopRequested, TRUE);
    BOOL blStop = FALSE;
    EXPECT_EQ(AVEngUpdateProgress(updater, 100, 40, &blStop), 0);
    EXPECT_EQ(blStop, TRUE);
    EXPECT_EQ(Read().stat.downloadSizeNow, 40);
    EXPECT_EQ(AVEngUpdateEnd(updater, TRUE), 0);
    state = Read();
    EXPECT_EQ(state.stat.isUpdating, FALSE);
    EXPECT_EQ(state.stat.isUpdFailed, TRUE);
    EXPECT_EQ(state.stopRequested, FALSE);
    EXPECT_EQ(state.updaterPid, 0);
    EXPECT_EQ(state.uiState, UI_STATE_SECURE);
    Reap(updater);
}

TEST_F(EngineTest, ScanControlWhileScanning) {
    pid_t self = getpid();
    ASSERT_EQ(AVEngScanBegin(self, 50), 0);
    EXPECT_EQ(AVScanPause(), 0);
    BOOL blPause = FALSE, blStop = TRUE;
    ASSERT_EQ(AVEngScanProgress(self, "/volume1/a", 3, 1, 0, 0, &blPause, &blStop), 0);
    EXPECT_EQ(blPause, TRUE);
    EXPECT_EQ(blStop, FALSE);
    EXPECT_EQ(AVScanResume(), 0);
    EXPECT_EQ(Read().pauseRequested, FALSE);
    EXPECT_EQ(AVStop(), 0);
    ASSERT_EQ(AVEngScanProgress(self, nullptr, 4, 1, 0, 1, &blPause, &blStop), 0);
    EXPECT_EQ(blPause, FALSE);
    EXPECT_EQ(blStop, TRUE);

    TAVOAV_STAT stat;
    ASSERT_EQ(AVGetEngStat(&stat), 0);
    EXPECT_EQ(stat.isScanning, TRUE);
    EXPECT_STREQ(stat.szLastScannedFile, "/volume1/a");  // NULL keeps the last file
    EXPECT_EQ(stat.scannedFileCnt, 4);
    EXPECT_EQ(stat.errFileCnt, 1);
    EXPECT_EQ(stat.scanFileCountTotal, 50);

    // Only the recorded scanner reports and ends.
    EXPECT_NE(AVEngScanProgress(self + 1, "x", 9, 9, 9, 9, nullptr, nullptr), 0);
    EXPECT_NE(AVEngScanEnd(self + 1, AVENG_SCAN_COMPLETED), 0);
    EXPECT_EQ(Read().stat.scannedFileCnt, 4);

    Change([](TAVOAV_ENGINE_STATE* pState) { pState->stat.mvFailedCnt = 2; });
    ASSERT_EQ(AVEngScanEnd(self, AVENG_SCAN_STOPPED), 0);
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.scannerPid, 0);
    EXPECT_EQ(state.stat.isScanning, FALSE);
    EXPECT_EQ(state.stat.isStayInNotify, TRUE);
    EXPECT_EQ(state.uiState, UI_STATE_WAIT_NOTIFY);
    EXPECT_EQ(state.lastScanResult, AVENG_SCAN_STOPPED);
    EXPECT_EQ(state.stopRequested, FALSE);
    EXPECT_EQ(state.buttons.isAcknowledgeDisabled, FALSE);
    EXPECT_EQ(state.buttons.isStopDisabled, TRUE);
    EXPECT_EQ(state.buttons.isPauseDisabled, TRUE);
    EXPECT_EQ(state.buttons.isClearDisabled, FALSE);
    EXPECT_EQ(state.buttons.isReProcessDisabled, FALSE);
    EXPECT_NE(AVScanPause(), 0);

    // The next scan starts from zero but keeps the failed moves.
    ASSERT_EQ(AVEngScanBegin(self, 0), 0);
    state = Read();
    EXPECT_EQ(state.stat.isStayInNotify, FALSE);
    EXPECT_EQ(state.stat.scannedFileCnt, 0);
    EXPECT_EQ(state.stat.infectedFileCnt, 0);
    EXPECT_EQ(state.stat.szLastScannedFile[0], '\0');
    EXPECT_EQ(state.stat.mvFailedCnt, 2);
    EXPECT_EQ(state.uiState, UI_STATE_SCANNING);
    EXPECT_EQ(state.buttons.isAcknowledgeDisabled, TRUE);
    EXPECT_EQ(state.buttons.isStopDisabled, FALSE);
}

TEST_F(EngineTest, EnteringScanningKeepsTheNoticeOfAScanThatAlreadyEnded) {
    // The scanner can end before the request that started it marks the UI.
    pid_t scanner = SpawnSleeper();
    ASSERT_EQ(AVEngScanBegin(scanner, 1), 0);
    ASSERT_EQ(AVEngScanEnd(scanner, AVENG_SCAN_COMPLETED), 0);
    Reap(scanner);
    EXPECT_EQ(AVButtonUIStatusEnterIntoScanning(4), 0);
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.uiState, UI_STATE_WAIT_NOTIFY);
    EXPECT_EQ(state.buttons.isAcknowledgeDisabled, FALSE);

    // While a scanner runs, the call marks the UI as scanning.
    scanner = SpawnSleeper();
    ASSERT_EQ(AVEngScanBegin(scanner, 1), 0);
    Change([](TAVOAV_ENGINE_STATE* pState) { pState->uiState = UI_STATE_SECURE; });
    EXPECT_EQ(AVButtonUIStatusEnterIntoScanning(4), 0);
    EXPECT_EQ(Read().uiState, UI_STATE_SCANNING);
    Reap(scanner);
}

TEST_F(EngineTest, SecondScannerLeavesTheFirstAlone) {
    pid_t first = SpawnSleeper();
    ASSERT_EQ(AVEngScanBegin(first, 10), 0);
    ASSERT_EQ(AVEngScanProgress(first, "/volume1/f", 5, 0, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(AVEngScanBegin(getpid(), 99), 1);
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.scannerPid, first);
    EXPECT_EQ(state.stat.scannedFileCnt, 5);
    EXPECT_EQ(state.stat.scanFileCountTotal, 10);

    // Once the first is gone the next one may start.
    Reap(first);
    EXPECT_EQ(AVEngScanBegin(getpid(), 99), 0);
    EXPECT_EQ(Read().scannerPid, getpid());
}

TEST_F(EngineTest, DeadScannerIsCleared) {
    pid_t dead = DeadPid();
    Change([dead](TAVOAV_ENGINE_STATE* pState) {
        pState->scannerPid = dead;
        pState->stat.isScanning = TRUE;
        pState->stat.isInitializing = TRUE;
        pState->stat.scannedFileCnt = 7;
        pState->stat.mvFailedCnt = 1;
        pState->pauseRequested = TRUE;
        pState->stopRequested = TRUE;
        pState->uiState = UI_STATE_SCANNING;
        pState->buttons.isStopDisabled = FALSE;
        pState->buttons.isPauseDisabled = FALSE;
        pState->buttons.isPaused = TRUE;
    });
    TAVOAV_STAT stat;
    ASSERT_EQ(AVGetEngStat(&stat), 0);
    EXPECT_EQ(stat.isScanning, FALSE);
    EXPECT_EQ(stat.isInitializing, FALSE);
    EXPECT_EQ(stat.scannedFileCnt, 7);  // what it counted stays visible
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.scannerPid, 0);
    EXPECT_EQ(state.pauseRequested, FALSE);
    EXPECT_EQ(state.stopRequested, FALSE);
    EXPECT_EQ(state.uiState, UI_STATE_DANGER);  // a failed move is pending
    EXPECT_EQ(state.buttons.isStopDisabled, TRUE);
    EXPECT_EQ(state.buttons.isPauseDisabled, TRUE);
    EXPECT_EQ(state.buttons.isPaused, FALSE);
    EXPECT_NE(AVStop(), 0);

    // The next change stores the cleared state.
    ASSERT_EQ(AVButtonSetAckDisable(), 0);
    std::string content = ReadFile(StateFile());
    TAVOAV_ENGINE_STATE stored;
    ASSERT_GE(content.size(), sizeof(stored));
    memcpy(&stored, content.data() + content.size() - sizeof(stored), sizeof(stored));
    EXPECT_EQ(stored.scannerPid, 0);
    EXPECT_EQ(stored.stat.isScanning, FALSE);
}

TEST_F(EngineTest, ExitedUnreapedAndReusedIdsCountAsDead) {
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    // Wait until it has exited without reaping it.
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, zombie, &info, WEXITED | WNOWAIT), 0);
    Change([zombie](TAVOAV_ENGINE_STATE* pState) {
        pState->scannerPid = zombie;
        pState->stat.isScanning = TRUE;
        pState->uiState = UI_STATE_SCANNING;
    });
    EXPECT_EQ(Read().stat.isScanning, FALSE);
    waitpid(zombie, nullptr, 0);

    // A live process whose start time differs from the recorded one.
    ASSERT_EQ(AVEngScanBegin(getpid(), 0), 0);
    EXPECT_EQ(Read().stat.isScanning, TRUE);
    Change([](TAVOAV_ENGINE_STATE* pState) { pState->scannerStartTicks += 1; });
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.stat.isScanning, FALSE);
    EXPECT_EQ(state.uiState, UI_STATE_SECURE);
}

TEST_F(EngineTest, DeadUpdaterIsClearedAndCountsAsFailed) {
    pid_t scanner = SpawnSleeper();
    ASSERT_EQ(AVEngScanBegin(scanner, 0), 0);
    pid_t dead = DeadPid();
    Change([dead](TAVOAV_ENGINE_STATE* pState) {
        pState->updaterPid = dead;
        pState->stat.isUpdating = TRUE;
        pState->stopRequested = TRUE;
    });
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.updaterPid, 0);
    EXPECT_EQ(state.stat.isUpdating, FALSE);
    EXPECT_EQ(state.stat.isUpdFailed, TRUE);
    // The live scanner keeps its scan and the stop meant for it.
    EXPECT_EQ(state.scannerPid, scanner);
    EXPECT_EQ(state.stat.isScanning, TRUE);
    EXPECT_EQ(state.stopRequested, TRUE);
    EXPECT_EQ(state.uiState, UI_STATE_SCANNING);
    EXPECT_EQ(state.buttons.isStopDisabled, FALSE);
    Reap(scanner);
}

TEST_F(EngineTest, DeadReprocessingIsClearedWithTheFailedItemsLeft) {
    pid_t dead = DeadPid();
    Change([dead](TAVOAV_ENGINE_STATE* pState) {
        pState->reprocessPid = dead;
        pState->stat.isReprocessing = TRUE;
        pState->stat.mvFailedCnt = 2;
        pState->uiState = UI_STATE_REPROCESSING;
    });
    TAVOAV_ENGINE_STATE state = Read();
    EXPECT_EQ(state.reprocessPid, 0);
    EXPECT_EQ(state.stat.isReprocessing, FALSE);
    EXPECT_EQ(state.uiState, UI_STATE_DANGER);
    EXPECT_EQ(state.buttons.isReProcessDisabled, FALSE);
    EXPECT_EQ(state.buttons.isClearDisabled, FALSE);

    // A live one keeps its flag.
    pid_t live = SpawnSleeper();
    Change([live](TAVOAV_ENGINE_STATE* pState) {
        pState->reprocessPid = live;
        pState->reprocessStartTicks = AVEngProcessStartTicks(live);
        pState->stat.isReprocessing = TRUE;
    });
    EXPECT_EQ(Read().stat.isReprocessing, TRUE);
    Reap(live);
    EXPECT_EQ(Read().stat.isReprocessing, FALSE);
}

TEST_F(EngineTest, ConcurrentChangesLoseNothing) {
    constexpr int kRounds = 150;
    auto increment = [](TAVOAV_ENGINE_STATE* pState, void*) {
        pState->stat.scannedFileCnt += 1;
        return 0;
    };
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            int failures = 0;
            for (int i = 0; i < kRounds; ++i)
                if (AVEngStateModify(increment, nullptr) != 0) ++failures;
            _exit(failures == 0 ? 0 : 1);
        }
        ASSERT_GT(child, 0);
    }
    // Readers take no lock and never see a torn file.
    int readFailures = 0;
    int running = 2;
    while (running > 0) {
        TAVOAV_STAT stat;
        if (std::filesystem::exists(StateFile()) && AVGetEngStat(&stat) != 0) ++readFailures;
        for (pid_t& child : children) {
            int status = 0;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                child = 0;
                --running;
            }
        }
    }
    EXPECT_EQ(readFailures, 0);
    EXPECT_EQ(Read().stat.scannedFileCnt, 2 * kRounds);
    // No temporary file is left behind.
    EXPECT_EQ(ListDir(StateDir()),
              (std::vector<std::string>{".engine_state", ".engine_state.lock"}));
}

TEST_F(EngineTest, RefusedChangeWritesNothing) {
    int result = AVEngStateModify(
        [](TAVOAV_ENGINE_STATE* pState, void*) {
            pState->stat.isScanning = TRUE;
            return 5;
        },
        nullptr);
    EXPECT_EQ(result, 5);
    EXPECT_FALSE(std::filesystem::exists(StateFile()));
    EXPECT_EQ(Read().stat.isScanning, FALSE);
    EXPECT_NE(AVEngStateModify(nullptr, nullptr), 0);
    EXPECT_NE(AVEngStateRead(nullptr), 0);
}

TEST_F(EngineTest, DamagedStateFileFailsCleanly) {
    ASSERT_EQ(AVButtonSetStopEnable(), 0);
    const std::string good = ReadFile(StateFile());
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x40;
    std::string foreign = good;
    foreign[0] = 'X';
    const std::string damaged[] = {"",      "TAVO",  good.substr(0, good.size() - 1), good + "x",
                                   flipped, foreign, std::string(good.size(), '\0')};
    for (const std::string& content : damaged) {
        SCOPED_TRACE(content.size());
        WriteFile(StateFile(), content);
        TAVOAV_STAT stat;
        BUTTON_STATUS buttons;
        TAVOAV_ENGINE_STATE state;
        EXPECT_EQ(AVGetEngStat(&stat), -1);
        EXPECT_EQ(AVButtonStatusGet(&buttons), -1);
        EXPECT_EQ(AVEngStateRead(&state), -1);
        EXPECT_EQ(AVButtonSetPausePressed(), -1);
        EXPECT_EQ(AVEngScanBegin(getpid(), 0), -1);
        // A failed change leaves the file as it was.
        EXPECT_EQ(ReadFile(StateFile()), content);
    }
    WriteFile(StateFile(), good);
    BUTTON_STATUS buttons;
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isStopDisabled, FALSE);
}

TEST_F(EngineTest, UnwritableFolderFails) {
    // The package folder is a file: nothing can be created under it.
    WriteFile(Real("/var/packages/AntiVirus-Zentrel/target"), "not a folder");
    EXPECT_EQ(AVButtonSetStopEnable(), -1);
    EXPECT_EQ(AVScanPause(), -1);
    TAVOAV_STAT stat;
    EXPECT_EQ(AVGetEngStat(&stat), -1);
}

}  // namespace
