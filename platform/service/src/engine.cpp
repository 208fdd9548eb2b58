// The shared engine state of the service: engine status, UI buttons and UI
// state, the scanner's and updater's records and the requests they poll.
// One file holds it all; every change is a read-modify-write under an
// exclusive flock on a lock file beside it, and the new content goes to a
// temporary file that replaces the old one by rename, so a reader (who takes
// no lock) sees either the old or the new state, never a torn one.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "audit.h"
#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavoav_engine.h"

namespace {

constexpr char kStateMagic[8] = {'T', 'A', 'V', 'O', 'E', 'N', 'G', '1'};
constexpr uint32_t kStateVersion = 1;

// What precedes the state in the file; the checksum covers the state.
struct StateFileHeader {
    char magic[8];
    uint32_t version;
    uint32_t size;
    uint64_t checksum;
};

struct StateFileImage {
    StateFileHeader header;
    TAVOAV_ENGINE_STATE state;
};

uint64_t Checksum(const void* data, size_t size) {
    // FNV-1a, 64 bits: enough to catch a damaged or foreign file.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint64_t hash = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

struct StatePaths {
    char szDir[PATH_MAX];
    char szFile[PATH_MAX];
    char szLock[PATH_MAX];
};

int ResolveStatePaths(StatePaths* pPaths) {
    if (TAVOResolvePath(TAVOAV_STATE_FILE, pPaths->szFile, sizeof(pPaths->szFile)) != 0) {
        TAVO_LOG(LOG_ERR, "cannot resolve the engine state path");
        return -1;
    }
    int n = snprintf(pPaths->szLock, sizeof(pPaths->szLock), "%s.lock", pPaths->szFile);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(pPaths->szLock)) return -1;
    memcpy(pPaths->szDir, pPaths->szFile, sizeof(pPaths->szDir));
    char* pSlash = strrchr(pPaths->szDir, '/');
    if (pSlash == nullptr) return -1;
    if (pSlash == pPaths->szDir) {
        pSlash[1] = '\0';
    } else {
        *pSlash = '\0';
    }
    return 0;
}

void DefaultState(TAVOAV_ENGINE_STATE* pState) {
    memset(pState, 0, sizeof(*pState));
    pState->uiState = UI_STATE_SECURE;
    // Idle: nothing to stop, pause, acknowledge, clear or re-process.
    pState->buttons.isStopDisabled = TRUE;
    pState->buttons.isPaused = FALSE;
    pState->buttons.isPauseDisabled = TRUE;
    pState->buttons.isClearDisabled = TRUE;
    pState->buttons.isReProcessDisabled = TRUE;
    pState->buttons.isAcknowledgeDisabled = TRUE;
    pState->lastScanResult = AVENG_SCAN_COMPLETED;
}

// Start time of a process in clock ticks since boot; 0 when unknown.
// *pblZombie tells whether it has already exited and only waits to be reaped.
int64_t ProcessStartTicks(pid_t pid, bool* pblZombie) {
    *pblZombie = false;
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char szBuf[1024];
    ssize_t cb = read(fd, szBuf, sizeof(szBuf) - 1);
    close(fd);
    if (cb <= 0) return 0;
    szBuf[cb] = '\0';
    // The command name may hold anything, spaces and ')' included: the fields
    // we want come after its last ')'.
    char* p = strrchr(szBuf, ')');
    if (p == nullptr) return 0;
    ++p;
    // Fields 3 (state) to 22 (starttime).
    char* pSave = nullptr;
    char* pField = strtok_r(p, " ", &pSave);
    for (int field = 3; pField != nullptr; ++field) {
        if (field == 3) *pblZombie = (pField[0] == 'Z' || pField[0] == 'X');
        if (field == 22) return strtoll(pField, nullptr, 10);
        pField = strtok_r(nullptr, " ", &pSave);
    }
    return 0;
}

bool ProcessGone(int32_t pid, int64_t startTicks) {
    if (pid <= 0) return true;
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    bool blZombie = false;
    int64_t ticksNow = ProcessStartTicks(pid, &blZombie);
    if (blZombie) return true;
    // A different start time: the id now belongs to another process.
    return startTicks != 0 && ticksNow != 0 && ticksNow != startTicks;
}

UI_BUTTON_STATE IdleUIState(const TAVOAV_ENGINE_STATE* pState) {
    return pState->stat.mvFailedCnt != 0 ? UI_STATE_DANGER : UI_STATE_SECURE;
}

// A scanner or updater that died without ending its task would leave the
// engine busy for good: clear what it owned.
void ClearDeadProcesses(TAVOAV_ENGINE_STATE* pState) {
    bool blScannerDead =
        pState->scannerPid != 0 && ProcessGone(pState->scannerPid, pState->scannerStartTicks);
    bool blUpdaterDead =
        pState->updaterPid != 0 && ProcessGone(pState->updaterPid, pState->updaterStartTicks);
    if (pState->reprocessPid != 0 &&
        ProcessGone(pState->reprocessPid, pState->reprocessStartTicks)) {
        // A re-processing that died: the failed list is as it left it.
        pState->reprocessPid = 0;
        pState->reprocessStartTicks = 0;
        pState->stat.isReprocessing = FALSE;
        pState->buttons.isClearDisabled = pState->stat.mvFailedCnt == 0 ? TRUE : FALSE;
        pState->buttons.isReProcessDisabled = pState->buttons.isClearDisabled;
        if (pState->uiState == UI_STATE_REPROCESSING) pState->uiState = IdleUIState(pState);
    }
    if (!blScannerDead && !blUpdaterDead) return;

    if (blScannerDead) {
        pState->scannerPid = 0;
        pState->scannerStartTicks = 0;
        pState->stat.isScanning = FALSE;
        pState->pauseRequested = FALSE;
        pState->buttons.isPaused = FALSE;
        pState->buttons.isPauseDisabled = TRUE;
        if (pState->uiState == UI_STATE_SCANNING || pState->uiState == UI_STATE_INITIALIZING)
            pState->uiState = IdleUIState(pState);
    }
    if (blUpdaterDead) {
        pState->updaterPid = 0;
        pState->updaterStartTicks = 0;
        pState->stat.isUpdating = FALSE;
        pState->stat.isUpdFailed = TRUE;
        if (pState->uiState == UI_STATE_UPDATING) pState->uiState = IdleUIState(pState);
    }
    if (pState->scannerPid == 0 && pState->updaterPid == 0) {
        pState->stat.isInitializing = FALSE;
        pState->stopRequested = FALSE;
        pState->buttons.isStopDisabled = TRUE;
    }
}

// 0 with the state (a fresh default when there is no file yet), -1 when the
// file cannot be read or is not a state file of this version.
int LoadState(const StatePaths& paths, TAVOAV_ENGINE_STATE* pState) {
    int fd = open(paths.szFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            DefaultState(pState);
            return 0;
        }
        TAVO_LOG(LOG_ERR, "cannot open the engine state %s: %s", paths.szFile, strerror(errno));
        return -1;
    }
    StateFileImage image;
    struct stat st;
    int result = -1;
    if (fstat(fd, &st) != 0) {
        TAVO_LOG(LOG_ERR, "cannot stat the engine state %s: %s", paths.szFile, strerror(errno));
    } else if (st.st_size != static_cast<off_t>(sizeof(image))) {
        TAVO_LOG(LOG_ERR, "the engine state %s has a wrong size: %lld", paths.szFile,
                 static_cast<long long>(st.st_size));
    } else if (tavo::files::ReadExactly(fd, &image, sizeof(image)) != 0) {
        TAVO_LOG(LOG_ERR, "cannot read the engine state %s", paths.szFile);
    } else if (memcmp(image.header.magic, kStateMagic, sizeof(kStateMagic)) != 0 ||
               image.header.version != kStateVersion ||
               image.header.size != sizeof(TAVOAV_ENGINE_STATE) ||
               image.header.checksum != Checksum(&image.state, sizeof(image.state))) {
        TAVO_LOG(LOG_ERR, "the engine state %s is damaged or foreign", paths.szFile);
    } else {
        *pState = image.state;
        // The name is handed out as a C string: keep it terminated.
        pState->stat.szLastScannedFile[sizeof(pState->stat.szLastScannedFile) - 1] = '\0';
        result = 0;
    }
    close(fd);
    return result;
}

int StoreState(const StatePaths& paths, const TAVOAV_ENGINE_STATE& state) {
    StateFileImage image;
    memset(&image, 0, sizeof(image));
    memcpy(image.header.magic, kStateMagic, sizeof(kStateMagic));
    image.header.version = kStateVersion;
    image.header.size = sizeof(TAVOAV_ENGINE_STATE);
    image.state = state;
    image.header.checksum = Checksum(&image.state, sizeof(image.state));

    // Readers of other users (the web server) must see the state.
    if (tavo::files::WriteFileAtomic(
            paths.szFile, std::string_view(reinterpret_cast<const char*>(&image), sizeof(image)),
            0644) != 0) {
        TAVO_LOG(LOG_ERR, "cannot write the engine state %s: %s", paths.szFile, strerror(errno));
        return -1;
    }
    return 0;
}

// Runs f(TAVOAV_ENGINE_STATE*) -> int through AVEngStateModify.
template <typename F>
int ModifyWith(F f) {
    return AVEngStateModify(
        [](TAVOAV_ENGINE_STATE* pState, void* ctx) { return (*static_cast<F*>(ctx))(pState); }, &f);
}

// Result of a modify callback that refuses the change; mapped to -1 for callers.
constexpr int kRefused = 1;

int SetButtons(void (*change)(BUTTON_STATUS*)) {
    return ModifyWith([change](TAVOAV_ENGINE_STATE* pState) {
        change(&pState->buttons);
        return 0;
    });
}

void CopyLastFile(TAVOAV_STAT* pStat, const char* szFile) {
    snprintf(pStat->szLastScannedFile, sizeof(pStat->szLastScannedFile), "%s", szFile);
}

}  // namespace

extern "C" {

int AVEngStateRead(TAVOAV_ENGINE_STATE* pState) {
    if (pState == nullptr) return -1;
    StatePaths paths;
    if (ResolveStatePaths(&paths) != 0) return -1;
    TAVOAV_ENGINE_STATE state;
    if (LoadState(paths, &state) != 0) return -1;
    ClearDeadProcesses(&state);
    *pState = state;
    return 0;
}

int AVEngStateModify(int (*modify)(TAVOAV_ENGINE_STATE* pState, void* ctx), void* ctx) {
    if (modify == nullptr) return -1;
    StatePaths paths;
    if (ResolveStatePaths(&paths) != 0) return -1;
    if (tavo::files::MakeFolders(paths.szDir) != 0) {
        TAVO_LOG(LOG_ERR, "cannot create the folder %s: %s", paths.szDir, strerror(errno));
        return -1;
    }
    tavo::files::FileLock lock(paths.szLock);
    if (!lock.Locked()) {
        TAVO_LOG(LOG_ERR, "cannot lock %s: %s", paths.szLock, strerror(lock.Error()));
        return -1;
    }
    TAVOAV_ENGINE_STATE stored;
    int result = LoadState(paths, &stored);
    if (result == 0) {
        TAVOAV_ENGINE_STATE state = stored;
        ClearDeadProcesses(&state);
        result = modify(&state, ctx);
        // The dashboard repeats the same changes every few seconds: a state
        // that is already stored is not written again.
        bool blChanged =
            memcmp(&state, &stored, sizeof(state)) != 0 || access(paths.szFile, F_OK) != 0;
        if (result == 0 && blChanged && StoreState(paths, state) != 0) result = -1;
    }
    return result;
}

int AVGetEngStat(TAVOAV_STAT* pStat) {
    if (pStat == nullptr) return -1;
    TAVOAV_ENGINE_STATE state;
    if (AVEngStateRead(&state) != 0) return -1;
    *pStat = state.stat;
    return 0;
}

int AVButtonStatusGet(BUTTON_STATUS* pStatus) {
    if (pStatus == nullptr) return -1;
    TAVOAV_ENGINE_STATE state;
    if (AVEngStateRead(&state) != 0) return -1;
    *pStatus = state.buttons;
    return 0;
}

int AVButtonSetPausePressed(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isPaused = TRUE; });
}

int AVButtonResetPausePressed(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isPaused = FALSE; });
}

int AVButtonSetPauseDisable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isPauseDisabled = TRUE; });
}

int AVButtonSetStopEnable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isStopDisabled = FALSE; });
}

int AVButtonSetStopDisable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isStopDisabled = TRUE; });
}

int AVButtonSetAckDisable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isAcknowledgeDisabled = TRUE; });
}

int AVButtonSetClearDisable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isClearDisabled = TRUE; });
}

int AVButtonSetReProcDisable(void) {
    return SetButtons([](BUTTON_STATUS* p) { p->isReProcessDisabled = TRUE; });
}

int AVButtonSetStatus(UI_BUTTON_STATE state) {
    if (state < UI_STATE_SECURE || state > UI_STATE_REPROCESSING) return -1;
    return ModifyWith([state](TAVOAV_ENGINE_STATE* pState) {
        pState->uiState = state;
        return 0;
    });
}

int AVButtonUIStatusEnterIntoScanning(int iReason) {
    (void)iReason;  // the UI shows the same scanning state whatever started the scan
    return ModifyWith([](TAVOAV_ENGINE_STATE* pState) {
        // A scan that already ended before its starter got here has raised its
        // result notice; the notice stays. A scanner that has not begun yet
        // sets the scanning state itself when it does.
        if (pState->scannerPid == 0 && pState->stat.isStayInNotify) return 0;
        pState->uiState = UI_STATE_SCANNING;
        pState->buttons.isPaused = FALSE;
        pState->buttons.isPauseDisabled = FALSE;
        pState->buttons.isStopDisabled = FALSE;
        pState->buttons.isAcknowledgeDisabled = TRUE;
        return 0;
    });
}

int AVClearStayInNotify(void) {
    // The scanner itself takes down the notice of a scan that failed: only
    // the result of a scan that ran is acknowledged by someone.
    bool blAcknowledged = false;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        blAcknowledged = pState->stat.isStayInNotify && pState->lastScanResult != AVENG_SCAN_FAILED;
        pState->stat.isStayInNotify = FALSE;
        return 0;
    });
    if (result == 0 && blAcknowledged)
        tavo::service::Audit("info", "scan",
                             "Scan result acknowledged by " + tavo::service::Requester());
    return result;
}

int executeGadgeUpdate(int iQuarantineCount) {
    return ModifyWith([iQuarantineCount](TAVOAV_ENGINE_STATE* pState) {
        pState->gadgetQuarantineCount = iQuarantineCount;
        return 0;
    });
}

// The scanner and the updater poll these requests at least once a second.
// Each request that changes something is an audit event with its requester;
// a repeated click is not.
int AVScanPause(void) {
    bool blChanged = false;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (!pState->stat.isScanning && !pState->stat.isInitializing) return kRefused;
        blChanged = !pState->pauseRequested;
        pState->pauseRequested = TRUE;
        return 0;
    });
    if (result == 0 && blChanged)
        tavo::service::Audit("info", "scan", "Scan paused by " + tavo::service::Requester());
    return result == 0 ? 0 : -1;
}

int AVScanResume(void) {
    bool blChanged = false;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (!pState->stat.isScanning && !pState->stat.isInitializing) return kRefused;
        blChanged = pState->pauseRequested;
        pState->pauseRequested = FALSE;
        return 0;
    });
    if (result == 0 && blChanged)
        tavo::service::Audit("info", "scan", "Scan resumed by " + tavo::service::Requester());
    return result == 0 ? 0 : -1;
}

int AVStop(void) {
    bool blChanged = false;
    bool blScan = false;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (!pState->stat.isScanning && !pState->stat.isInitializing && !pState->stat.isUpdating)
            return kRefused;
        blChanged = !pState->stopRequested;
        blScan = pState->scannerPid != 0 || pState->stat.isScanning;
        pState->stopRequested = TRUE;
        return 0;
    });
    if (result == 0 && blChanged) {
        const std::string requester = tavo::service::Requester();
        if (blScan) tavo::service::HistoryNoteStop(requester);
        tavo::service::Audit(
            "info", blScan ? "scan" : "update",
            std::string(blScan ? "Stop of the scan" : "Stop of the definition update") +
                " requested by " + requester);
    }
    return result == 0 ? 0 : -1;
}

int AVEngScanBegin(pid_t pid, int64_t total) {
    if (pid <= 0) return -1;
    bool blZombie = false;
    int64_t startTicks = ProcessStartTicks(pid, &blZombie);
    int64_t now = static_cast<int64_t>(time(nullptr));
    return ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        // Dead scanners are already cleared here: a recorded one is alive.
        if (pState->scannerPid != 0 && pState->scannerPid != pid) return kRefused;
        TAVOAV_STAT* pStat = &pState->stat;
        pState->scannerPid = pid;
        pState->scannerStartTicks = startTicks;
        pState->scanStartTime = now;
        pStat->isScanning = TRUE;
        pStat->isInitializing = FALSE;
        pStat->isStayInNotify = FALSE;
        pStat->szLastScannedFile[0] = '\0';
        pStat->scannedFileCnt = 0;
        pStat->infectedFileCnt = 0;
        pStat->processFailedCnt = 0;
        pStat->errFileCnt = 0;
        pStat->scanFileCountTotal = total > 0 ? total : 0;
        pState->pauseRequested = FALSE;
        if (pState->updaterPid == 0) pState->stopRequested = FALSE;
        pState->uiState = UI_STATE_SCANNING;
        pState->buttons.isPaused = FALSE;
        pState->buttons.isPauseDisabled = FALSE;
        pState->buttons.isStopDisabled = FALSE;
        pState->buttons.isAcknowledgeDisabled = TRUE;
        return 0;
    });
}

int AVEngScanProgress(pid_t pid, const char* szLastFile, int64_t scanned, int64_t infected,
                      int64_t processFailed, int64_t errFiles, BOOL* pblPause, BOOL* pblStop) {
    BOOL blPause = FALSE;
    BOOL blStop = FALSE;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (pid <= 0 || pState->scannerPid != pid) return kRefused;
        TAVOAV_STAT* pStat = &pState->stat;
        if (szLastFile != nullptr) CopyLastFile(pStat, szLastFile);
        pStat->scannedFileCnt = scanned;
        pStat->infectedFileCnt = infected;
        pStat->processFailedCnt = processFailed;
        pStat->errFileCnt = errFiles;
        blPause = pState->pauseRequested;
        blStop = pState->stopRequested;
        return 0;
    });
    if (result != 0) return -1;
    if (pblPause != nullptr) *pblPause = blPause;
    if (pblStop != nullptr) *pblStop = blStop;
    return 0;
}

int AVEngScanEnd(pid_t pid, int iResult) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (pid <= 0 || pState->scannerPid != pid) return kRefused;
        pState->scannerPid = 0;
        pState->scannerStartTicks = 0;
        pState->scanEndTime = now;
        pState->lastScanResult = iResult;
        pState->stat.isScanning = FALSE;
        pState->stat.isInitializing = FALSE;
        pState->stat.isStayInNotify = TRUE;
        pState->pauseRequested = FALSE;
        if (pState->updaterPid == 0) pState->stopRequested = FALSE;
        pState->uiState = UI_STATE_WAIT_NOTIFY;
        pState->buttons.isAcknowledgeDisabled = FALSE;
        pState->buttons.isStopDisabled = pState->updaterPid == 0 ? TRUE : FALSE;
        pState->buttons.isPauseDisabled = TRUE;
        pState->buttons.isPaused = FALSE;
        BOOL blNoFailures = pState->stat.mvFailedCnt == 0 ? TRUE : FALSE;
        pState->buttons.isClearDisabled = blNoFailures;
        pState->buttons.isReProcessDisabled = blNoFailures;
        return 0;
    });
    return result == 0 ? 0 : -1;
}

int AVEngUpdateBegin(pid_t pid) {
    if (pid <= 0) return -1;
    bool blZombie = false;
    int64_t startTicks = ProcessStartTicks(pid, &blZombie);
    return ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (pState->updaterPid != 0 && pState->updaterPid != pid) return kRefused;
        pState->updaterPid = pid;
        pState->updaterStartTicks = startTicks;
        pState->stat.isUpdating = TRUE;
        pState->stat.isUpdFailed = FALSE;
        pState->stat.downloadSizeTotal = 0;
        pState->stat.downloadSizeNow = 0;
        if (pState->scannerPid == 0) pState->stopRequested = FALSE;
        if (pState->uiState == UI_STATE_SECURE || pState->uiState == UI_STATE_DANGER)
            pState->uiState = UI_STATE_UPDATING;
        pState->buttons.isStopDisabled = FALSE;
        return 0;
    });
}

int AVEngUpdateProgress(pid_t pid, int64_t downloadSizeTotal, int64_t downloadSizeNow,
                        BOOL* pblStop) {
    BOOL blStop = FALSE;
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (pid <= 0 || pState->updaterPid != pid) return kRefused;
        pState->stat.downloadSizeTotal = downloadSizeTotal;
        pState->stat.downloadSizeNow = downloadSizeNow;
        blStop = pState->stopRequested;
        return 0;
    });
    if (result != 0) return -1;
    if (pblStop != nullptr) *pblStop = blStop;
    return 0;
}

int AVEngUpdateEnd(pid_t pid, BOOL blFailed) {
    int result = ModifyWith([&](TAVOAV_ENGINE_STATE* pState) {
        if (pid <= 0 || pState->updaterPid != pid) return kRefused;
        pState->updaterPid = 0;
        pState->updaterStartTicks = 0;
        pState->stat.isUpdating = FALSE;
        pState->stat.isUpdFailed = blFailed ? TRUE : FALSE;
        if (pState->scannerPid == 0) {
            pState->stopRequested = FALSE;
            pState->stat.isInitializing = FALSE;
            pState->buttons.isStopDisabled = TRUE;
        }
        if (pState->uiState == UI_STATE_UPDATING) pState->uiState = IdleUIState(pState);
        return 0;
    });
    return result == 0 ? 0 : -1;
}

int AVEngProcessGone(pid_t pid, int64_t startTicks) { return ProcessGone(pid, startTicks) ? 1 : 0; }

int64_t AVEngProcessStartTicks(pid_t pid) {
    bool blZombie = false;
    int64_t ticks = ProcessStartTicks(pid, &blZombie);
    return blZombie ? 0 : ticks;
}

}  // extern "C"
