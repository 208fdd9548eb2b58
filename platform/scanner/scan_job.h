// One run of the scanner: records itself with the service, updates the
// definitions when configured, walks the targets of its mode, judges each
// file, acts on detections, reports progress and events, and ends with the
// result notice up.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <map>

#include "clam_engine.h"
#include "clean_cache.h"
#include "scan_filter.h"
#include "scan_pool.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavoav_history.h"

namespace tavoscan {

enum class ScanMode { kFull, kSystem, kCustom };

struct ScanRequest {
    ScanMode mode = ScanMode::kFull;
    std::string fileListPath;  // "-f": the file-list file (appliance path)
    bool blRescanAll = false;  // "--rescan-all": the clean-file cache is cleared first
};

// Reads the command line ("--all", "--system" or "-f FILE", each optionally
// with "--rescan-all"). False on a command line that names no mode.
bool ParseCommandLine(int argc, char** argv, ScanRequest* pRequest);

// Process exit codes.
constexpr int kExitDone = 0;    // the scan ran (completed or stopped)
constexpr int kExitBusy = 1;    // another scanner is running; nothing done
constexpr int kExitFailed = 2;  // the scan could not run
constexpr int kExitUsage = 64;

class ScanJob {
public:
    explicit ScanJob(ScanRequest request);
    ~ScanJob();
    int Run();

private:
    enum class Stage { kRunning, kStopped, kAborted };

    bool Prepare(std::string* pError);
    bool LoadLists(const TAVOAV_CONF& conf, std::string* pError);
    bool CollectTargets(std::vector<std::string>* pTargets, std::string* pError);
    void CountFiles(const std::vector<std::string>& targets);
    void ReadSettings();
    void PrepareCache(const std::string& defsKey);
    void SaveCache();
    void ScanFiles(const std::vector<std::string>& targets);
    bool OnFile(int dirFd, const std::string& name, const std::string& path,
                const struct stat& entry);
    // Runs on the workers: judges one open file.
    void Judge(ScanItem& item) const;
    // Hands an item to the pool, waiting (and polling) while it is full.
    bool Dispatch(std::unique_ptr<ScanItem> item, bool blJudged);
    // Acts on the results that are in, in walk order.
    void HandleReady();
    // Waits for every item in the pool (dropping those not started once the
    // scan is to end) and acts on their results.
    void Drain();
    void HandleResult(ScanItem& item);
    std::shared_ptr<FolderHandle> FolderOf(int dirFd);
    bool Cacheable(int fd, dev_t dev);
    void OnError(const std::string& path, const std::string& reason);
    void HandleDetection(int dirFd, const std::string& name, const std::string& path,
                         const struct stat& file, const std::string& threat);
    void RunQuarantineHook(const std::string& path) const;
    // Stores progress (at most a few times a second unless blForce) and
    // takes the pause and stop requests; false when the scan must end.
    bool Poll(bool blForce);
    bool WaitWhilePaused();
    void Finish(int iResult, const std::string& failure);
    void Event(const char* szClass, const char* szModule, const std::string& text);
    std::string ModeText() const;
    const char* HistoryKind() const;

    ScanRequest request_;
    pid_t pid_;
    int64_t runId_ = -1;  // this run in the scan history, -1 when not recorded
    int rootFd_ = -1;
    TAVOAV_DFOP action_ = DO_NOTHING_TO_INFECTED_FILES;
    std::unique_ptr<ScanFilter> filter_;
    ClamEngine engine_;
    Stage stage_ = Stage::kRunning;
    int64_t lastPollMs_ = 0;
    useconds_t fileDelayUs_ = 0;
    std::string quarantineHook_;
    std::string startedLog_;  // tests: each worker notes the file it starts

    size_t workers_ = 1;
    std::unique_ptr<ScanPool> pool_;
    std::shared_ptr<FolderHandle> folder_;  // the walk's current folder, shared with its items
    CleanCache cache_;
    bool blCacheOn_ = false;
    std::string cachePath_;
    size_t cacheMaxFiles_ = 0;
    int64_t settleNs_ = 0;  // a change newer than this is not cached yet
    std::map<dev_t, bool> cacheableDevices_;

    int64_t total_ = 0;
    int64_t scanned_ = 0;
    int64_t infected_ = 0;
    int64_t moved_ = 0;
    int64_t processFailed_ = 0;
    int64_t errors_ = 0;
    int64_t errorEvents_ = 0;
    int64_t fromCache_ = 0;
    std::string lastFile_;
};

}  // namespace tavoscan
