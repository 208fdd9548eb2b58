#include "scan_job.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>

#include <unistd.h>
#include <set>

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

// The scanner's own settings, "key=value" lines an administrator may write:
//   scanThreads=N      worker threads judging files (1-64; default: the online CPUs)
//   cacheMaxFiles=N    clean verdicts remembered (0 turns the cache off; default 1,000,000)
const char* const kSettingsFile = TAVOAV_PKG_DIR "/etc/scanner.conf";
const char* const kCacheFile = TAVOAV_PKG_DIR "/.scan_cache";
constexpr long kMaxWorkers = 64;
constexpr long kDefaultCacheMaxFiles = 1000000;
constexpr long kMaxCacheMaxFiles = 50000000;
// A file changed this recently is not cached yet: its next change could
// fall within the same tick of the filesystem's clock and leave the change
// time as it is.
constexpr int64_t kSettleNs = 1000000000;

// A setting in [minimum, maximum], else fallback.
long ReadSetting(const char* szKey, long minimum, long maximum, long fallback) {
    char szValue[64];
    if (QLIBCFileGetKeyValue(kSettingsFile, szKey, szValue, sizeof(szValue)) != 0) return fallback;
    char* pEnd = nullptr;
    errno = 0;
    long value = strtol(szValue, &pEnd, 10);
    if (errno != 0 || pEnd == szValue || *pEnd != '\0' || value < minimum || value > maximum) {
        TAVO_LOG(TAVO_LOG_ERR, "ignoring the setting %s=%s in %s", szKey, szValue, kSettingsFile);
        return fallback;
    }
    return value;
}

int64_t RealNowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Each item in the pool may hold a file and a folder open: the window is
// bounded by the descriptors the process may open.
size_t PoolWindow(size_t workers) {
    struct rlimit limit;
    rlim_t soft = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        if (limit.rlim_cur < limit.rlim_max && limit.rlim_cur < 4096) {
            limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
            setrlimit(RLIMIT_NOFILE, &limit);
            getrlimit(RLIMIT_NOFILE, &limit);
        }
        soft = limit.rlim_cur;
    }
    // Kept free: the walk's folders (up to 128 deep), the engine, the databases.
    size_t budget = soft > 512 ? static_cast<size_t>(soft - 384) / 2 : 64;
    size_t wanted = workers * 32 < 64 ? 64 : workers * 32;
    if (wanted > 1024) wanted = 1024;
    size_t window = wanted < budget ? wanted : budget;
    return window > workers ? window : workers + 1;
}

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
        blNamed = line.size() >= tail.size() &&
                  line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
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
    // "--rescan-all" goes with any mode; the rest is read as it always was.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && strcmp(argv[i], "--rescan-all") == 0 && !pRequest->blRescanAll) {
            pRequest->blRescanAll = true;
            continue;
        }
        args.push_back(argv[i]);
    }
    argc = static_cast<int>(args.size());
    argv = args.data();
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
    if (szDelay)
        fileDelayUs_ = static_cast<useconds_t>(strtoul(szDelay, nullptr, 10) % 10000) * 1000;
    // Tests only: a program run (and waited for) before each move into the
    // quarantine, with the file's path, so that a race with a share user who
    // swaps folders meanwhile can be played out step by step.
    if (const char* szHook = getenv("TAVOAVSCAN_TEST_QUARANTINE_HOOK")) quarantineHook_ = szHook;
    // Tests only: a file where each worker appends the path of every file it
    // starts to judge, so that pause and stop can be checked per worker.
    if (const char* szLog = getenv("TAVOAVSCAN_TEST_STARTED_LOG")) startedLog_ = szLog;
    // Tests only: how long a change must be past before a clean verdict is
    // cached (milliseconds), so that cache tests need not wait.
    settleNs_ = kSettleNs;
    if (const char* szSettle = getenv("TAVOAVSCAN_TEST_SETTLE_MS"))
        settleNs_ = static_cast<int64_t>(strtoul(szSettle, nullptr, 10) % 10000) * 1000000;
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
            Event("warning", "update",
                  "Update before scan failed; scanning with the installed virus definitions");
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
    ReadSettings();
    // An update may swap the definitions while they load: the cache is used
    // only when the folder read before and after is the same.
    const std::string defsBefore = DefinitionsKey(szDefsDir);
    std::string engineError;
    // A set this scanner has not seen checked (damaged on disk, copied in
    // by hand) is checked in a process of its own first: reported, never half used.
    char szDefsReason[1024] = {0};
    if (AVDefsCheckInstalled(szDefsReason, sizeof(szDefsReason)) != 0) {
        *pError = std::string("no usable virus definitions installed (") + szDefsReason + ")";
        return false;
    }
    if (!engine_.Load(szDefsDir, maxFileBytes, conf.blScanArchives != FALSE, &engineError)) {
        *pError = "no usable virus definitions installed (" + engineError + ")";
        return false;
    }
    const std::string defsAfter = DefinitionsKey(szDefsDir);
    PrepareCache(!defsBefore.empty() && defsBefore == defsAfter ? defsAfter : std::string());
    return true;
}

void ScanJob::ReadSettings() {
    workers_ = static_cast<size_t>(ReadSetting("scanThreads", 1, kMaxWorkers, 0));
    if (workers_ == 0)
        workers_ = DefaultWorkerCount() < kMaxWorkers ? DefaultWorkerCount() : kMaxWorkers;
    cacheMaxFiles_ = static_cast<size_t>(
        ReadSetting("cacheMaxFiles", 0, kMaxCacheMaxFiles, kDefaultCacheMaxFiles));
}

void ScanJob::PrepareCache(const std::string& defsKey) {
    char szCache[4096];
    if (TAVOResolvePath(kCacheFile, szCache, sizeof(szCache)) != 0) return;
    cachePath_ = szCache;
    if (request_.blRescanAll || cacheMaxFiles_ == 0) {
        if (unlink(szCache) != 0 && errno != ENOENT)
            TAVO_LOG(TAVO_LOG_ERR, "cannot remove the scan cache: %s", strerror(errno));
    }
    if (cacheMaxFiles_ == 0) return;
    if (defsKey.empty()) {
        TAVO_LOG(TAVO_LOG_DEBUG,
                 "the virus definitions changed while loading; the scan cache is not used");
        return;
    }
    const std::string key = "tavoavscan clean-file cache 1\n" + engine_.VerdictKey() + defsKey;
    if (!cache_.Load(cachePath_, key))
        TAVO_LOG(TAVO_LOG_ERR, "the scan cache is damaged; scanning every file");
    blCacheOn_ = true;
}

void ScanJob::SaveCache() {
    if (!blCacheOn_) return;
    // A completed full scan has seen every file on the volumes' devices that
    // is still there: the entries of the others are dropped.
    std::set<uint64_t> visited;
    if (request_.mode == ScanMode::kFull && stage_ == Stage::kRunning) {
        for (const auto& device : cacheableDevices_)
            visited.insert(static_cast<uint64_t>(device.first));
    }
    if (cache_.Save(cachePath_, cacheMaxFiles_, visited) != 0)
        TAVO_LOG(TAVO_LOG_ERR, "cannot write the scan cache: %s", strerror(errno));
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
    case ScanMode::kFull: *pTargets = TreeWalker::ListVolumes(rootFd_); return true;
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
    callbacks.onFile = [this, &count](int, const std::string& name, const std::string& path,
                                      const struct stat&) {
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
    pool_ = std::make_unique<ScanPool>(workers_, PoolWindow(workers_),
                                       [this](ScanItem& item) { Judge(item); });
    TreeWalker::Callbacks callbacks;
    callbacks.wantDir = [this](const std::string& path) { return !filter_->IsWhiteListed(path); };
    callbacks.onFile = [this](int dirFd, const std::string& name, const std::string& path,
                              const struct stat& st) { return OnFile(dirFd, name, path, st); };
    callbacks.onError = [this](const std::string& path, const std::string& reason) {
        OnError(path, reason);
    };
    callbacks.shouldStop = [this] {
        HandleReady();
        return !Poll(false);
    };
    TreeWalker walker(rootFd_, callbacks);
    walker.Walk(targets);
    Drain();
    pool_.reset();
    folder_.reset();
    SaveCache();
}

bool ScanJob::OnFile(int dirFd, const std::string& name, const std::string& path,
                     const struct stat& entry) {
    if (!filter_->FileWanted(path, name)) return true;
    auto item = std::make_unique<ScanItem>();
    item->name = name;
    item->path = path;
    // A file known clean as the walk found it is not opened at all: nothing
    // is done to it, and its entry is what the cache speaks about.
    if (blCacheOn_ && Cacheable(dirFd, entry.st_dev) && cache_.Knows(entry)) {
        item->blFromCache = true;
        return Dispatch(std::move(item), true);
    }
    tavo::files::UniqueFd fd(
        openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return Poll(false);  // gone since the folder was read
        item->result.verdict = Verdict::kError;
        item->result.reason = strerror(errno);
        return Dispatch(std::move(item), true);
    }
    if (fstat(fd.Get(), &item->st) != 0 || !S_ISREG(item->st.st_mode)) {
        return Poll(false);  // replaced by something else since the folder was read
    }
    item->blCacheable = blCacheOn_ && Cacheable(fd.Get(), item->st.st_dev);
    item->folder = FolderOf(dirFd);
    if (!item->folder) {
        item->result.verdict = Verdict::kError;
        item->result.reason = std::string("cannot hold its folder open: ") + strerror(errno);
        return Dispatch(std::move(item), true);
    }
    item->fd = std::move(fd);
    return Dispatch(std::move(item), false);
}

// The walk closes a folder when it leaves it, and the descriptor number is
// then reused: a folder is told by its device and inode, and its items share
// one descriptor of their own.
std::shared_ptr<FolderHandle> ScanJob::FolderOf(int dirFd) {
    struct stat st;
    if (fstat(dirFd, &st) != 0) return nullptr;
    if (folder_ && folder_->dev == st.st_dev && folder_->ino == st.st_ino) return folder_;
    auto folder = std::make_shared<FolderHandle>();
    folder->fd.Reset(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!folder->fd) return nullptr;
    folder->dev = st.st_dev;
    folder->ino = st.st_ino;
    folder_ = folder;
    return folder;
}

// fd: the file or its folder, whichever is at hand; it tells the filesystem
// of dev only when it lies on dev itself (not so for a file mounted over
// another).
bool ScanJob::Cacheable(int fd, dev_t dev) {
    auto it = cacheableDevices_.find(dev);
    if (it != cacheableDevices_.end()) return it->second;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != dev) return false;
    struct statfs fs;
    bool blCacheable = fstatfs(fd, &fs) == 0 && CacheableFilesystem(static_cast<long>(fs.f_type));
    cacheableDevices_[dev] = blCacheable;
    return blCacheable;
}

void ScanJob::Judge(ScanItem& item) const {
    if (!startedLog_.empty()) {
        int logFd = open(startedLog_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (logFd >= 0) {
            std::string line = item.path + "\n";
            if (write(logFd, line.data(), line.size()) < 0) {
            }
            close(logFd);
        }
    }
    item.result = engine_.ScanFd(item.fd.Get(), item.path);
    if (item.result.verdict == Verdict::kClean && item.blCacheable) {
        // Remembered only when the file did not change while it was read and
        // its last change is settled.
        struct stat after;
        item.blUnchanged =
            fstat(item.fd.Get(), &after) == 0 && SameState(item.st, after) &&
            static_cast<int64_t>(after.st_ctim.tv_sec) * 1000000000 + after.st_ctim.tv_nsec <=
                RealNowNs() - settleNs_;
    }
    item.fd.Reset();
}

bool ScanJob::Dispatch(std::unique_ptr<ScanItem> item, bool blJudged) {
    // The test's slow disk is one disk: it holds up the walk once per file,
    // however many workers judge them, so a scan takes as long as it did
    // with one worker and tests can catch it running.
    if (fileDelayUs_ > 0 && !blJudged) usleep(fileDelayUs_);
    while (pool_->Full()) {
        pool_->WaitReady(static_cast<int>(kPollIntervalMs));
        HandleReady();
        if (!Poll(false)) return false;
    }
    pool_->Submit(std::move(item), blJudged);
    HandleReady();
    return Poll(false);
}

void ScanJob::HandleReady() {
    while (std::unique_ptr<ScanItem> item = pool_->TakeReady()) HandleResult(*item);
}

void ScanJob::Drain() {
    for (;;) {
        if (stage_ != Stage::kRunning) pool_->DropPending();
        HandleReady();
        if (pool_->Empty()) return;
        pool_->WaitReady(static_cast<int>(kPollIntervalMs));
        Poll(false);
    }
}

void ScanJob::HandleResult(ScanItem& item) {
    ++scanned_;
    lastFile_ = item.path;
    if (item.blFromCache) {
        ++fromCache_;
        return;
    }
    switch (item.result.verdict) {
    case Verdict::kClean:
        if (item.blCacheable && item.blUnchanged) cache_.Add(item.st);
        break;
    case Verdict::kInfected:
        HandleDetection(item.folder->fd.Get(), item.name, item.path, item.st, item.result.threat);
        // After a detection the dashboard's counters catch up with the quarantine at once.
        Poll(true);
        break;
    case Verdict::kError: OnError(item.path, item.result.reason); break;
    }
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
    QUARANTINE_ERROR err =
        AVQuarantinePutFileAt(dirFd, name.c_str(), path.c_str(), &file, threat.c_str());
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
        execl(quarantineHook_.c_str(), quarantineHook_.c_str(), path.c_str(),
              static_cast<char*>(nullptr));
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
    if (AVEngScanProgress(pid_, lastFile_.empty() ? nullptr : lastFile_.c_str(), scanned_,
                          infected_, processFailed_, errors_, &blPause, &blStop) != 0) {
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
    // No worker starts another file until the scan goes on; the ones being
    // judged finish and wait for the scan thread.
    if (pool_) pool_->SetPaused(true);
    bool blResumed = false;
    while (!blResumed && stage_ == Stage::kRunning) {
        usleep(kPauseSleepUs);
        TAVOAV_ENGINE_STATE state;
        if (AVEngStateRead(&state) != 0) continue;
        if (state.scannerPid != pid_) {
            stage_ = Stage::kAborted;
        } else if (state.stopRequested) {
            stage_ = Stage::kStopped;
        } else if (!state.pauseRequested) {
            blResumed = true;
        }
    }
    if (pool_) {
        // A scan that ends starts nothing more, not even once unpaused.
        if (!blResumed) pool_->DropPending();
        pool_->SetPaused(false);
    }
    if (!blResumed) return false;
    lastPollMs_ = 0;
    return Poll(true);
}

void ScanJob::Finish(int iResult, const std::string& failure) {
    // The last counters, without taking requests any more.
    AVEngScanProgress(pid_, lastFile_.empty() ? nullptr : lastFile_.c_str(), scanned_, infected_,
                      processFailed_, errors_, nullptr, nullptr);
    if (runId_ > 0) {
        // Recorded before the notice goes up: whoever sees it finds the run ended.
        AVHIST_COUNTERS counters{total_,         scanned_, infected_, moved_,
                                 processFailed_, errors_,  fromCache_};
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
    std::string counts = szCounts;
    if (fromCache_ > 0)
        counts += ", " + std::to_string(static_cast<long long>(fromCache_)) +
                  " known clean from the cache";
    if (iResult == AVENG_SCAN_FAILED) {
        Event("error", "scan", "Scan failed (" + ModeText() + "): " + failure);
    } else if (iResult == AVENG_SCAN_STOPPED) {
        Event("info", "scan", "Scan stopped (" + ModeText() + "): " + counts);
    } else {
        Event("info", "scan", "Scan finished (" + ModeText() + "): " + counts);
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
