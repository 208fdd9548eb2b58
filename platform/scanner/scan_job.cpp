#include "scan_job.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "scan_paths.h"
#include "tavo/log.h"
#include "tavo/tavoav.h"
#include "tavo/tavocore.h"
#include "tree_walker.h"

namespace tavoscan {

namespace {

// Progress is stored at most this often; each store syncs the state file.
constexpr int64_t kPollIntervalMs = 250;
// A paused scan looks at the requests this often.
constexpr useconds_t kPauseSleepUs = 200 * 1000;
// Per-file error events beyond this are summed up in the final event.
constexpr int64_t kMaxErrorEvents = 100;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::string> ListEntries(PQLIBSZLIST pList) {
    std::vector<std::string> entries;
    for (int i = 0; pList && i < pList->nItem; ++i) {
        const char* szEntry = QLIBCSzListGet(pList, i);
        if (szEntry) entries.emplace_back(szEntry);
    }
    return entries;
}

// Reads a service list (white list, extensions) into entries.
bool ReadServiceList(int (*get)(PQLIBSZLIST*), std::vector<std::string>* pEntries) {
    PQLIBSZLIST pList = QLIBCSzListAlloc(1024);
    if (!pList) return false;
    int ret = get(&pList);
    if (ret == 0) *pEntries = ListEntries(pList);
    QLIBCSzListFree(pList);
    return ret == 0;
}

struct TotalUpdate {
    pid_t pid;
    int64_t total;
};

// The number of files to visit is known only after the counting walk, when
// the scan is already recorded.
int StoreTotal(TAVOAV_ENGINE_STATE* pState, void* ctx) {
    const TotalUpdate* pUpdate = static_cast<const TotalUpdate*>(ctx);
    if (pState->scannerPid != pUpdate->pid) return 1;
    pState->stat.scanFileCountTotal = pUpdate->total;
    return 0;
}

// The crontab line of a scheduled custom scan names its file list and runs
// it again and again: only a one-off list is removed once read.
bool NamedByCrontab(const std::string& fileListPath) {
    char szCrontab[4096];
    if (TAVOResolvePath("/etc/crontab", szCrontab, sizeof(szCrontab)) != 0) return false;
    FILE* fp = fopen(szCrontab, "re");
    if (!fp) return false;
    const std::string tail = " -f " + fileListPath;
    bool blNamed = false;
    char szLine[8192];
    while (!blNamed && fgets(szLine, sizeof(szLine), fp)) {
        std::string line = szLine;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        blNamed = line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }
    fclose(fp);
    return blNamed;
}

void RemoveFileList(const std::string& fileListPath) {
    if (NamedByCrontab(fileListPath)) return;
    char szReal[4096];
    if (TAVOResolvePath(fileListPath.c_str(), szReal, sizeof(szReal)) != 0) return;
    if (unlink(szReal) != 0 && errno != ENOENT) {
        TAVO_LOG(TAVO_LOG_ERR, "cannot remove the file list %s", fileListPath.c_str());
    }
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, ScanRequest* pRequest) {
    if (argc == 2 && strcmp(argv[1], "--all") == 0) {
        pRequest->mode = ScanMode::kFull;
        return true;
    }
    if (argc == 2 && strcmp(argv[1], "--system") == 0) {
        pRequest->mode = ScanMode::kSystem;
        return true;
    }
    if (argc == 3 && strcmp(argv[1], "-f") == 0 && argv[2][0] != '\0') {
        pRequest->mode = ScanMode::kCustom;
        pRequest->fileListPath = argv[2];
        return true;
    }
    return false;
}

ScanJob::ScanJob(ScanRequest request) : request_(std::move(request)), pid_(getpid()) {
    // Lets tests play a slow disk, so that a scan is caught while it runs.
    const char* szDelay = getenv("TAVOAVSCAN_FILE_DELAY_MS");
    if (szDelay) fileDelayUs_ = static_cast<useconds_t>(strtoul(szDelay, nullptr, 10) % 10000) * 1000;
    // Tests only: a program run (and waited for) before each move into the
    // quarantine, with the file's path, so that a race with a share user who
    // swaps folders meanwhile can be played out step by step.
    if (const char* szHook = getenv("TAVOAVSCAN_TEST_QUARANTINE_HOOK")) quarantineHook_ = szHook;
}

ScanJob::~ScanJob() {
    if (rootFd_ >= 0) close(rootFd_);
}

std::string ScanJob::ModeText() const {
    switch (request_.mode) {
    case ScanMode::kFull: return "full scan";
    case ScanMode::kSystem: return "system scan";
    case ScanMode::kCustom: return "custom scan";
    }
    return "scan";
}

const char* ScanJob::HistoryKind() const {
    switch (request_.mode) {
    case ScanMode::kFull: return AVHIST_KIND_FULL;
    case ScanMode::kSystem: return AVHIST_KIND_SYSTEM;
    case ScanMode::kCustom: return AVHIST_KIND_CUSTOM;
    }
    return AVHIST_KIND_FULL;
}

void ScanJob::Event(const char* szClass, const char* szModule, const std::string& text) {
    if (AVReportWrite(szClass, szModule, text.c_str()) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to write report event: %s", text.c_str());
    }
}

int ScanJob::Run() {
    int iBegin = AVEngScanBegin(pid_, 0);
    if (iBegin == 1) {
        TAVO_LOG(TAVO_LOG_ERR, "another scan is running, %s not started", ModeText().c_str());
        AVHistoryRecordFailed(HistoryKind(), "another scan is running");
        return kExitBusy;
    }
    if (iBegin != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "cannot record the scan in the engine state");
        AVHistoryRecordFailed(HistoryKind(), "the engine state cannot be read or written");
        return kExitFailed;
    }
    runId_ = AVHistoryBegin(HistoryKind(), pid_);
    Event("info", "scan", "Scan started (" + ModeText() + ")");

    std::string failure;
    std::vector<std::string> targets;
    if (!Prepare(&failure) || !CollectTargets(&targets, &failure)) {
        Finish(AVENG_SCAN_FAILED, failure);
        return kExitFailed;
    }
    if (stage_ == Stage::kRunning) CountFiles(targets);
    if (stage_ == Stage::kRunning) ScanFiles(targets);
    if (stage_ == Stage::kAborted) {
        // The state no longer names this process: someone else owns it now.
        TAVO_LOG(TAVO_LOG_ERR, "the scan is no longer recorded, %s ended", ModeText().c_str());
        return kExitFailed;
    }
    Finish(stage_ == Stage::kStopped ? AVENG_SCAN_STOPPED : AVENG_SCAN_COMPLETED, std::string());
    return kExitDone;
}

bool ScanJob::Prepare(std::string* pError) {
    rootFd_ = open(TAVORootDir(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        *pError = std::string("cannot open the root folder: ") + strerror(errno);
        return false;
    }

    TAVOAV_CONF conf;
    memset(&conf, 0, sizeof(conf));
    if (AVGetConfig(&conf) != 0) {
        // Without the configuration nothing is moved: only detection is safe.
        Event("error", "config", "Cannot read the configuration; infected files are left in place");
        memset(&conf, 0, sizeof(conf));
        conf.defaultOp = DO_NOTHING_TO_INFECTED_FILES;
        conf.filenameFilterRule = TAVOAV_SCAN_ALL;
        conf.blScanArchives = TRUE;
    }
    action_ = conf.defaultOp;

    if (conf.blAutoUpdate == TRUE) {
        // The updater reports its own outcome; a failure leaves the installed
        // definitions in use.
        if (AVUpdate_m() != 0) {
            Event("warning", "update", "Update before scan failed; scanning with the installed virus definitions");
        }
        if (!Poll(true)) return true;
    }

    if (!LoadLists(conf, pError)) return false;

    char szDefsDir[4096];
    const char* szDefsAppliance = conf.szDBDir[0] == '/' ? conf.szDBDir : TAVOAV_DEFS_DIR;
    if (TAVOResolvePath(szDefsAppliance, szDefsDir, sizeof(szDefsDir)) != 0) {
        *pError = std::string("bad definitions folder ") + szDefsAppliance;
        return false;
    }
    uint64_t maxFileBytes =
        conf.iMaxFileSizeMB > 0 ? static_cast<uint64_t>(conf.iMaxFileSizeMB) * 1024 * 1024 : 0;
    std::string engineError;
    if (!engine_.Load(szDefsDir, maxFileBytes, conf.blScanArchives != FALSE, &engineError)) {
        *pError = "no usable virus definitions installed (" + engineError + ")";
        return false;
    }
    return true;
}

bool ScanJob::LoadLists(const TAVOAV_CONF& conf, std::string* pError) {
    std::vector<std::string> whiteList;
    if (!ReadServiceList(AVWhiteListGet, &whiteList)) {
        // Scanning without it could move files the administrator exempted.
        *pError = "cannot read the white list";
        return false;
    }
    bool blExtensionsOnly = conf.filenameFilterRule == TAVOAV_SCAN_EXTENSIONS;
    std::vector<std::string> extensions;
    if (blExtensionsOnly && !ReadServiceList(AVExtensionListGet, &extensions)) {
        Event("warning", "scan", "Cannot read the file extension list; scanning all files");
        blExtensionsOnly = false;
    }
    filter_ = std::make_unique<ScanFilter>(whiteList, extensions, blExtensionsOnly);
    return true;
}

bool ScanJob::CollectTargets(std::vector<std::string>* pTargets, std::string* pError) {
    switch (request_.mode) {
    case ScanMode::kFull:
        *pTargets = TreeWalker::ListVolumes(rootFd_);
        return true;
    case ScanMode::kSystem:
        for (const std::string& folder : SystemFolders()) {
            // A folder this appliance does not have is simply not scanned.
            struct stat st;
            if (fstatat(rootFd_, folder.c_str() + 1, &st, AT_SYMLINK_NOFOLLOW) == 0)
                pTargets->push_back(folder);
        }
        return true;
    case ScanMode::kCustom: {
        PQLIBSZLIST pList = nullptr;
        if (AVFileListRead(request_.fileListPath.c_str(), &pList) != 0) {
            *pError = "cannot read the file list " + request_.fileListPath;
            return false;
        }
        if (runId_ > 0) {
            // The paths as given, so that the history can say why one was not scanned.
            std::vector<const char*> paths;
            for (int i = 0; i < pList->nItem; ++i) paths.push_back(QLIBCSzListGet(pList, i));
            AVHistoryAddTargets(runId_, paths.data(), paths.size());
        }
        for (const std::string& entry : ListEntries(pList)) {
            std::string normal = NormalizePath(entry);
            if (normal.empty()) {
                OnError(entry, "not an absolute path");
                continue;
            }
            pTargets->push_back(normal);
        }
        QLIBCSzListFree(pList);
        RemoveFileList(request_.fileListPath);
        return true;
    }
    }
    return false;
}

void ScanJob::CountFiles(const std::vector<std::string>& targets) {
    int64_t count = 0;
    TreeWalker::Callbacks callbacks;
    callbacks.wantDir = [this](const std::string& path) { return !filter_->IsWhiteListed(path); };
    callbacks.onFile = [this, &count](int, const std::string& name, const std::string& path) {
        if (filter_->FileWanted(path, name)) ++count;
        return true;
    };
    callbacks.shouldStop = [this] { return !Poll(false); };
    TreeWalker walker(rootFd_, callbacks);
    if (!walker.Walk(targets)) return;
    total_ = count;
    TotalUpdate update{pid_, total_};
    if (AVEngStateModify(StoreTotal, &update) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to store the number of files to scan");
    }
}

void ScanJob::ScanFiles(const std::vector<std::string>& targets) {
    TreeWalker::Callbacks callbacks;
    callbacks.wantDir = [this](const std::string& path) { return !filter_->IsWhiteListed(path); };
    callbacks.onFile = [this](int dirFd, const std::string& name, const std::string& path) {
        return OnFile(dirFd, name, path);
    };
    callbacks.onError = [this](const std::string& path, const std::string& reason) {
        OnError(path, reason);
    };
    callbacks.shouldStop = [this] { return !Poll(false); };
    TreeWalker walker(rootFd_, callbacks);
    walker.Walk(targets);
}

bool ScanJob::OnFile(int dirFd, const std::string& name, const std::string& path) {
    if (!filter_->FileWanted(path, name)) return true;
    lastFile_ = path;
    ++scanned_;
    int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            --scanned_;  // gone since the folder was read
            return Poll(false);
        }
        OnError(path, strerror(errno));
        return Poll(false);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Replaced by something else since the folder was read.
        close(fd);
        --scanned_;
        return Poll(false);
    }
    if (fileDelayUs_ > 0) usleep(fileDelayUs_);
    ScanResult result = engine_.ScanFd(fd, path);
    close(fd);
    switch (result.verdict) {
    case Verdict::kClean: break;
    case Verdict::kInfected: HandleDetection(dirFd, name, path, st, result.threat); break;
    case Verdict::kError: OnError(path, result.reason); break;
    }
    // After a detection the dashboard's counters catch up with the quarantine at once.
    return Poll(result.verdict == Verdict::kInfected);
}

void ScanJob::OnError(const std::string& path, const std::string& reason) {
    ++errors_;
    TAVO_LOG(TAVO_LOG_ERR, "cannot scan %s: %s", path.c_str(), reason.c_str());
    if (errorEvents_ < kMaxErrorEvents) {
        ++errorEvents_;
        Event("error", "scan", "Cannot scan " + path + ": " + reason);
    }
}

void ScanJob::HandleDetection(int dirFd, const std::string& name, const std::string& path,
                              const struct stat& file, const std::string& threat) {
    ++infected_;
    Event("warning", "scan", "Virus found: " + path + " (" + threat + ")");
    if (action_ == DO_NOTHING_TO_INFECTED_FILES) {
        AVHistoryAddDetection(runId_, path.c_str(), threat.c_str(), AVHIST_LEFT_IN_PLACE);
        return;
    }
    if (!quarantineHook_.empty()) RunQuarantineHook(path);
    // Deletion is never done by the scanner: a file to delete is quarantined.
    // It is moved from the folder the walk holds open, and only while it is
    // still the file that was judged: the path may lead elsewhere by now.
    QUARANTINE_ERROR err = AVQuarantinePutFileAt(dirFd, name.c_str(), path.c_str(), &file, threat.c_str());
    AVHistoryAddDetection(runId_, path.c_str(), threat.c_str(),
                          err == AVQ_ERR_OK ? AVHIST_QUARANTINED : AVHIST_MOVE_FAILED);
    if (err == AVQ_ERR_OK) {
        ++moved_;
        Event("info", "quarantine", "Moved to quarantine: " + path + " (" + threat + ")");
    } else {
        ++processFailed_;
        char szCode[32];
        snprintf(szCode, sizeof(szCode), "%d", static_cast<int>(err));
        Event("error", "quarantine",
              "Failed to move to quarantine: " + path + " (" + threat + "), error " + szCode);
    }
}

void ScanJob::RunQuarantineHook(const std::string& path) const {
    pid_t pid = fork();
    if (pid == 0) {
        execl(quarantineHook_.c_str(), quarantineHook_.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

bool ScanJob::Poll(bool blForce) {
    if (stage_ != Stage::kRunning) return false;
    int64_t now = NowMs();
    if (!blForce && now - lastPollMs_ < kPollIntervalMs) return true;
    lastPollMs_ = now;
    BOOL blPause = FALSE;
    BOOL blStop = FALSE;
    if (AVEngScanProgress(pid_, lastFile_.empty() ? nullptr : lastFile_.c_str(), scanned_, infected_,
                          processFailed_, errors_, &blPause, &blStop) != 0) {
        TAVOAV_ENGINE_STATE state;
        if (AVEngStateRead(&state) == 0 && state.scannerPid != pid_) {
            stage_ = Stage::kAborted;
            return false;
        }
        return true;  // a passing failure to store; the next poll tries again
    }
    if (blStop) {
        stage_ = Stage::kStopped;
        return false;
    }
    if (blPause) return WaitWhilePaused();
    return true;
}

bool ScanJob::WaitWhilePaused() {
    for (;;) {
        usleep(kPauseSleepUs);
        TAVOAV_ENGINE_STATE state;
        if (AVEngStateRead(&state) != 0) continue;
        if (state.scannerPid != pid_) {
            stage_ = Stage::kAborted;
            return false;
        }
        if (state.stopRequested) {
            stage_ = Stage::kStopped;
            return false;
        }
        if (!state.pauseRequested) {
            lastPollMs_ = 0;
            return Poll(true);
        }
    }
}

void ScanJob::Finish(int iResult, const std::string& failure) {
    // The last counters, without taking requests any more.
    AVEngScanProgress(pid_, lastFile_.empty() ? nullptr : lastFile_.c_str(), scanned_, infected_,
                      processFailed_, errors_, nullptr, nullptr);
    if (runId_ > 0) {
        // Recorded before the notice goes up: whoever sees it finds the run ended.
        AVHIST_COUNTERS counters{total_, scanned_, infected_, moved_, processFailed_, errors_, 0};
        AVHistoryEnd(runId_,
                     iResult == AVENG_SCAN_FAILED    ? AVHIST_FAILED
                     : iResult == AVENG_SCAN_STOPPED ? AVHIST_STOPPED
                                                     : AVHIST_COMPLETED,
                     failure.c_str(), &counters);
    }

    char szCounts[512];
    snprintf(szCounts, sizeof(szCounts),
             "%lld files scanned, %lld infected, %lld moved to quarantine, %lld failed to move, "
             "%lld errors",
             static_cast<long long>(scanned_), static_cast<long long>(infected_),
             static_cast<long long>(moved_), static_cast<long long>(processFailed_),
             static_cast<long long>(errors_));
    if (iResult == AVENG_SCAN_FAILED) {
        Event("error", "scan", "Scan failed (" + ModeText() + "): " + failure);
    } else if (iResult == AVENG_SCAN_STOPPED) {
        Event("info", "scan", "Scan stopped (" + ModeText() + "): " + szCounts);
    } else {
        Event("info", "scan", "Scan finished (" + ModeText() + "): " + szCounts);
    }
    if (AVEngScanEnd(pid_, iResult) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to record the end of the scan");
        return;
    }
    if (iResult == AVENG_SCAN_FAILED) {
        // Nothing was scanned: no result to acknowledge. The dashboard shows
        // the cause (e.g. definitions to install) and the log the reason.
        AVClearStayInNotify();
        AVButtonSetAckDisable();
        TAVOAV_STAT stat;
        memset(&stat, 0, sizeof(stat));
        if (AVGetEngStat(&stat) == 0 && !stat.isScanning && !stat.isUpdating) {
            AVButtonSetStatus(stat.mvFailedCnt != 0 ? UI_STATE_DANGER : UI_STATE_SECURE);
        }
    }
}

}  // namespace tavoscan
